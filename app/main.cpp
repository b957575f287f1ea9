#include "CLI_Display.h"
#include "Updater.h"

int main(int, char**) {
  CLI_Display display;
  display.info_message("Updater (Version: 1.1 Apr 26 2023)");
  return 0;
}
