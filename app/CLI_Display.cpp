#include "CLI_Display.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "JsonReport.h"
#include "ReportChannel.h"

uint8_t CLI_Display::spinner_frame = 0;

namespace {

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
const char kBarSource[] = "=====================================================================";
static_assert(sizeof kBarSource - 1 == CLI_Display::BAR_WIDTH, "bar source is 69 characters");

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) return std::string();
  return std::string(text, static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1);
}

}  // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

bool CLI_Display::drawing() { return isatty(fileno(stdout)) == 1; }

void CLI_Display::draw(const std::string& text) { fwrite(text.data(), 1, text.size(), stdout); }

std::string CLI_Display::EraseText() { return formatted("\r%*s\r", ERASE_WIDTH, " "); }

std::string CLI_Display::ProgressText(double fraction, const char* label) {
  int width = BAR_WIDTH;
  if (label != nullptr) width = BAR_WIDTH - static_cast<int>(strnlen(label, 256)) - 4;
  // A label too long for a bar leaves only the label, ">" and the percentage.
  if (width < 0) width = 0;
  // Out-of-range or non-numeric fractions would overflow the integer conversions below.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(100 * fraction);
  if (label == nullptr) {
    return formatted("\r[%.*s>%*s] (%3d%% ) ", filled, kBarSource, width - filled - 1, "", percent);
  }
  return formatted("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarSource, width - filled - 1, "", percent);
}

std::string CLI_Display::SpinnerText(uint8_t frame, const char* label) {
  const char* dots = kSpinnerFrames[frame % 8];
  if (label == nullptr) return formatted("\r %s      \r", dots);
  return formatted("\r (%s) %s      \r", label, dots);
}

void CLI_Display::display_progress(bool start) {
  if (ReportChannel::Active() && !start) ReportChannel::Idle();
  if (!drawing() || start) return;
  draw(EraseText());
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (ReportChannel::Active()) ReportChannel::Progress(fraction);
  if (!drawing()) return;
  draw(ProgressText(fraction, label));
}

void CLI_Display::update_spinner(bool active, const char* label) {
  if (ReportChannel::Active()) active ? ReportChannel::Spinner(label) : ReportChannel::Idle();
  if (!drawing()) return;
  if (!active) {
    draw(EraseText());
    return;
  }
  draw(SpinnerText(spinner_frame, label));
  spinner_frame = static_cast<uint8_t>((spinner_frame + 1) % 8);
}

void CLI_Display::info_message(const char* text) {
  fputs(text, stdout);
  fputc('\n', stdout);
}

void CLI_Display::error_message(const char* text) {
  ReportChannel::NoteError(text);
  JsonOutput::NoteError(text);
  fputs(text, stderr);
  fputc('\n', stderr);
}
