// The i.MX serial download loader driven through a recording, scripted transport: the frames it
// sends, the replies it accepts and the result codes it gives.
#include <gtest/gtest.h>
#include <memory>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "Log.h"
#include "log_capture.h"
#include "recovery/imx/HID_SDPLoader.h"
#include "recovery/imx/SDPLoader.h"
#include "recovery/imx/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<unsigned char>;

enum class Layout { Serial, Hid };

constexpr unsigned int SECURITY_OPEN = 0x56787856;

void appendLittleEndian(Bytes& bytes, unsigned int value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

// A serial reply: the security-mode word as the chip sends it, then the value.
Bytes serialReply(unsigned int value) {
  Bytes reply{0x56, 0x78, 0x78, 0x56};
  appendLittleEndian(reply, value);
  return reply;
}

// An HID reply as HID_SDPLoader::readData keeps it: report 3 cut to 5 bytes, then report 4.
Bytes hidReply(unsigned int value, size_t size = HID_SDPLoader::VALUE_REPLY_SIZE) {
  Bytes reply{3};
  appendLittleEndian(reply, SECURITY_OPEN);
  reply.push_back(4);
  appendLittleEndian(reply, value);
  reply.resize(size, 0);
  return reply;
}

Bytes testImage(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
  return image;
}

// What a ScriptedTransport saw; outlives the transport, which the loader owns and destroys.
struct Recording {
  std::vector<Bytes> frames;
  std::vector<unsigned int> readTimeouts;
  int inits = 0;
  bool destroyed = false;
  size_t framesKeptAtClose = 0;  // the frames written when the transport was told to keep them
};

// Records every frame and read; successive reads hand out the scripted replies in order (an
// exhausted script answers nothing). Values are taken with the real reply layouts.
class ScriptedTransport : public SDPLoader_Interface {
 public:
  ScriptedTransport(Recording& recording, Layout layout, std::vector<Bytes> replies = {})
      : recording(recording), layout(layout), replies(replies.begin(), replies.end()) {}
  ~ScriptedTransport() override { recording.destroyed = true; }

  bool initResult = true;
  size_t failingWrite = SIZE_MAX;  // index of the frame whose write fails

  bool init() override {
    ++recording.inits;
    return initResult;
  }
  long writeData(const Bytes& frame) override {
    recording.frames.push_back(frame);
    if (recording.frames.size() - 1 == failingWrite) return -1;
    return layout == Layout::Serial ? static_cast<long>(frame.size() - 1) : static_cast<long>(frame.size());
  }
  unsigned long readData(Bytes& out, unsigned int timeoutMs) override {
    recording.readTimeouts.push_back(timeoutMs);
    if (replies.empty()) return 0;
    Bytes next = replies.front();
    replies.pop_front();
    out.insert(out.end(), next.begin(), next.end());
    return next.size();
  }
  void keepWrittenAtClose() override { recording.framesKeptAtClose = recording.frames.size(); }
  bool getDataFromBuffer(const Bytes& reply, unsigned int offset, unsigned int& value) override {
    return layout == Layout::Serial ? Serial_SDPLoader::valueFromReply(reply, offset, value)
                                    : HID_SDPLoader::valueFromReply(reply, offset, value);
  }

 private:
  Recording& recording;
  Layout layout;
  std::deque<Bytes> replies;
};

// A loader whose transport plays script.
struct Scripted {
  Recording recording;
  SDPLoader loader;
  ScriptedTransport* transport = nullptr;

  Scripted(Layout layout, std::vector<Bytes> script) {
    auto owned = std::make_unique<ScriptedTransport>(recording, layout, script);
    transport = owned.get();
    EXPECT_TRUE(loader.setLoader(std::move(owned)));
  }
};

std::vector<size_t> frameSizes(const Recording& recording) {
  std::vector<size_t> sizes;
  for (const Bytes& frame : recording.frames) sizes.push_back(frame.size());
  return sizes;
}

// ---- frames -----------------------------------------------------------------------------------

TEST(SDPFrames, EveryBuilderGivesSeventeenBytes) {
  struct Case {
    const char* name;
    Bytes frame;
    Bytes expected;
  };
  const Case cases[] = {
      {"status", SDPLoader::_createStatusPacket(), {1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"write file",
       SDPLoader::_createWriteFilePacket(0x20000400, 2500),
       {1, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0x00, 0x00, 0x09, 0xC4, 0, 0, 0, 0, 0}},
      {"write file, large",
       SDPLoader::_createWriteFilePacket(0xFEDCBA98, 0x01020304),
       {1, 0x04, 0x04, 0xFE, 0xDC, 0xBA, 0x98, 0x20, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0}},
      {"jump",
       SDPLoader::_createJumpPacket(0x20000400),
       {1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"read register",
       SDPLoader::_create4ByteReadRegisterPacket(0x401F4410),
       {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.frame.size(), SDPLoader::COMMAND_FRAME_SIZE);
    EXPECT_EQ(c.frame, c.expected);
  }
}

TEST(SDPFrames, FillCommandWritesEveryFieldAndPads) {
  Bytes frame{SDPLoader::COMMAND_REPORT};
  SDPLoader::_fillCommand(frame, 0x0A, 0x11223344, 0x08, 0x55667788, 0x99AABBCC);
  EXPECT_EQ(frame, (Bytes{1, 0x0A, 0x0A, 0x11, 0x22, 0x33, 0x44, 0x08, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                          0xCC, 0}));
}

TEST(SDPLoaderWrite, ProgressIsToldTheShareSentAfterEveryDataFrame) {
  const Bytes image = testImage(2500);
  Scripted s(Layout::Serial, {serialReply(0xF0F0F0F0), {}, {}, {}, serialReply(SDPLoader::REPLY_FILE_ACCEPTED)});
  std::vector<double> told;
  EXPECT_EQ(s.loader.writeLoader(image, 0x20000400, [&told](double done) { told.push_back(done); }),
            SDPLoader::SDP_OK);
  EXPECT_EQ(told, (std::vector<double>{1024.0 / 2500, 2048.0 / 2500, 1.0}));
}

TEST(SDPLoaderWrite, ImageOf2500BytesTravelsInFramesOf1025_1025_453) {
  const unsigned int address = 0x20000400;
  const Bytes image = testImage(2500);
  Scripted s(Layout::Serial, {serialReply(0xF0F0F0F0), {}, {}, {}, serialReply(SDPLoader::REPLY_FILE_ACCEPTED)});

  EXPECT_EQ(s.loader.writeLoader(image, address), SDPLoader::SDP_OK);

  const Recording& r = s.recording;
  EXPECT_EQ(frameSizes(r), (std::vector<size_t>{17, 17, 1025, 1025, 453}));
  ASSERT_EQ(r.frames.size(), 5u);
  EXPECT_EQ(r.frames[0], SDPLoader::_createStatusPacket());
  EXPECT_EQ(r.frames[1], SDPLoader::_createWriteFilePacket(address, 2500));
  Bytes sent;
  for (size_t i = 2; i < r.frames.size(); ++i) {
    EXPECT_EQ(r.frames[i][0], SDPLoader::DATA_REPORT);
    sent.insert(sent.end(), r.frames[i].begin() + 1, r.frames[i].end());
  }
  EXPECT_EQ(sent, image);
  // the status check and the final reply wait; the look before each frame does not
  EXPECT_EQ(r.readTimeouts, (std::vector<unsigned int>{100, 0, 0, 0, 100}));
}

// Five status checks, then zero-filled data frames up to the largest write a ROM may wait for.
std::vector<size_t> silentFrames() {
  std::vector<size_t> frames(SDPLoader::CONNECTION_ATTEMPTS, SDPLoader::COMMAND_FRAME_SIZE);
  frames.resize(frames.size() + SDPLoader::LARGEST_PENDING_WRITE / SDPLoader::DATA_FRAME_PAYLOAD,
                SDPLoader::DATA_FRAME_PAYLOAD + 1);
  return frames;
}

TEST(SDPLoaderWrite, AWriteTheRomStillWaitsForIsEndedFirst) {
  // The ROM answers nothing while it waits for the rest of an earlier write; the third zero frame
  // ends it, then it answers a status check and takes the image.
  const Bytes ok = serialReply(0xF0F0F0F0);
  const Bytes accepted = serialReply(SDPLoader::REPLY_FILE_ACCEPTED);
  for (Layout layout : {Layout::Serial, Layout::Hid}) {
    SCOPED_TRACE(layout == Layout::Serial ? "serial" : "HID");
    const Bytes status = layout == Layout::Serial ? ok : hidReply(0xF0F0F0F0);
    const Bytes done = layout == Layout::Serial ? accepted : hidReply(SDPLoader::REPLY_FILE_ACCEPTED);
    std::vector<Bytes> script(SDPLoader::CONNECTION_ATTEMPTS);  // the status checks: silence
    script.insert(script.end(), {{}, {}, done, {}, status, {}, done});
    Scripted s(layout, script);
    EXPECT_EQ(s.loader.writeLoader(testImage(100), 0x20000000), SDPLoader::SDP_OK);
    std::vector<size_t> expected(SDPLoader::CONNECTION_ATTEMPTS, 17);
    expected.insert(expected.end(), {1025, 1025, 1025, 17, 17, 101});
    EXPECT_EQ(frameSizes(s.recording), expected);
    Bytes zeroFrame(1025, 0);
    zeroFrame[0] = SDPLoader::DATA_REPORT;
    for (size_t frame = SDPLoader::CONNECTION_ATTEMPTS; frame < SDPLoader::CONNECTION_ATTEMPTS + 3; ++frame) {
      EXPECT_EQ(s.recording.frames[frame], zeroFrame);
    }
  }
}

TEST(SDPLoaderWrite, ResultsAndFramesSent) {
  const Bytes ok = serialReply(0xF0F0F0F0);
  const Bytes accepted = serialReply(SDPLoader::REPLY_FILE_ACCEPTED);
  struct Case {
    const char* name;
    Layout layout;
    size_t imageSize;
    std::vector<Bytes> script;
    size_t failingWrite;
    int result;
    std::vector<size_t> frames;
  };
  const Case cases[] = {
      {"silent boot ROM", Layout::Serial, 2500, {}, SIZE_MAX, SDPLoader::SDP_NEEDS_POWER_CYCLE, silentFrames()},
      {"serial status of 7 bytes", Layout::Serial, 2500, std::vector<Bytes>(5, Bytes(ok.begin(), ok.end() - 1)),
       SIZE_MAX, 2, {17, 17, 17, 17, 17}},
      {"HID status of 69 bytes", Layout::Hid, 2500, std::vector<Bytes>(5, hidReply(0xF0F0F0F0, 69)), SIZE_MAX, 2,
       {17, 17, 17, 17, 17}},
      {"HID status of 71 bytes", Layout::Hid, 2500, std::vector<Bytes>(5, hidReply(0xF0F0F0F0, 71)), SIZE_MAX, 2,
       {17, 17, 17, 17, 17}},
      {"status answered at the fifth attempt", Layout::Serial, 100, {{}, {}, {}, {}, ok, {}, accepted}, SIZE_MAX, 0,
       {17, 17, 17, 17, 17, 17, 101}},
      {"HID transfer accepted", Layout::Hid, 1500, {hidReply(0xF0F0F0F0), {}, {}, hidReply(0x88888888)}, SIZE_MAX, 0,
       {17, 17, 1025, 477}},
      {"data before the first frame", Layout::Serial, 2500, {ok, {0x56}}, SIZE_MAX, 3, {17, 17}},
      {"data before the third frame", Layout::Serial, 2500, {ok, {}, {}, serialReply(0xF0F0F0F0)}, SIZE_MAX, 3,
       {17, 17, 1025, 1025}},
      {"file rejected", Layout::Serial, 2500, {ok, {}, {}, {}, serialReply(0x0BADF00D)}, SIZE_MAX, 4,
       {17, 17, 1025, 1025, 453}},
      {"no final reply", Layout::Serial, 2500, {ok, {}, {}, {}}, SIZE_MAX, 4, {17, 17, 1025, 1025, 453}},
      {"final reply of 7 bytes", Layout::Serial, 2500, {ok, {}, {}, {}, Bytes(accepted.begin(), accepted.end() - 1)},
       SIZE_MAX, 4, {17, 17, 1025, 1025, 453}},
      {"HID final reply of 69 bytes", Layout::Hid, 1024, {hidReply(0), {}, hidReply(0x88888888, 69)}, SIZE_MAX, 4,
       {17, 17, 1025}},
      {"write command not sent", Layout::Serial, 2500, {ok, accepted}, 1, 4, {17, 17}},
      {"second frame not sent", Layout::Serial, 2500, {ok, {}, {}, {}, accepted}, 3, 4, {17, 17, 1025, 1025}},
      {"empty image", Layout::Serial, 0, {ok, accepted}, SIZE_MAX, 0, {17, 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scripted s(c.layout, c.script);
    s.transport->failingWrite = c.failingWrite;
    EXPECT_EQ(s.loader.writeLoader(testImage(c.imageSize), 0x20000000), c.result);
    EXPECT_EQ(frameSizes(s.recording), c.frames);
    if (c.frames.size() > 5) continue;  // the status check was retried, or a pending write fed
    if (c.frames.size() >= 2 && c.result != 2) {
      EXPECT_EQ(s.recording.frames[1],
                SDPLoader::_createWriteFilePacket(0x20000000, static_cast<unsigned int>(c.imageSize)));
    }
  }
}

TEST(SDPLoaderWrite, LogsEveryStepOfATransfer) {
  LogCapture capture(DEBUG_iMXSerial);
  Scripted s(Layout::Serial, {serialReply(0xF0F0F0F0), {}, {}, serialReply(0x88888888)});
  EXPECT_EQ(s.loader.writeLoader(testImage(1500), 0x20000000), 0);
  const std::string log = capture.text();
  const char* expected[] = {
      "bytesWritten: 16\n1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n",
      "Read Data: 8\n56 78 78 56 F0 F0 F0 F0 \n",
      "Write Res: 16\n1 4 4 20 0 0 0 20 0 0 5 DC 0 0 0 0 0 \n",
      "Read Data: 0\n\n",
      "Write Res: 1024 , Total: 1024, Loop: 0, tell: 1024, size: 1025\n",
      "Write Res: 476 , Total: 1500, Loop: 1, tell: 1500, size: 477\n",
      "Written Bytes: 1500\n",
      "Data Read: \n56 78 78 56 88 88 88 88 \n",
      "Loader Transfer Successful\n",
  };
  size_t at = 0;
  for (const char* line : expected) {
    size_t found = log.find(line, at);
    EXPECT_NE(found, std::string::npos) << "missing in order: " << line << "\nlog:\n" << log;
    if (found != std::string::npos) at = found;
  }
}

TEST(SDPLoaderWrite, LogsWhyATransferFailed) {
  struct Case {
    const char* name;
    std::vector<Bytes> script;
    const char* line;
  };
  const Case cases[] = {
      {"no answer", {}, "Error: No ack from iMX device\n"},
      {"data in the middle", {serialReply(0), {0x01}}, "Error while transfering loader. Aborting\n"},
      {"rejected", {serialReply(0), {}, serialReply(0x12345678)}, "Loader Transfer Unsuccessful\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture(DEBUG_iMXSerial);
    Scripted s(Layout::Serial, c.script);
    EXPECT_NE(s.loader.writeLoader(testImage(100), 0), 0);
    EXPECT_NE(capture.text().find(c.line), std::string::npos) << capture.text();
  }
}

// ---- replies ----------------------------------------------------------------------------------

TEST(SDPReplies, ValueTakenOnlyFromWellFormedReplies) {
  struct Case {
    const char* name;
    Layout layout;
    Bytes reply;
    unsigned int offset;
    bool taken;
    unsigned int value;  // after OR-ing into 0x100
  };
  Bytes hidWithSecondWord = hidReply(0x11111111);
  hidWithSecondWord[6 + 15] = 0xEF;
  hidWithSecondWord[6 + 16] = 0xBE;
  hidWithSecondWord[6 + 17] = 0xAD;
  hidWithSecondWord[6 + 18] = 0xDE;
  const Bytes twelve = {0x56, 0x78, 0x78, 0x56, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  const Case cases[] = {
      {"HID 70 bytes", Layout::Hid, hidReply(0x88888888), 0, true, 0x88888988},
      {"HID 69 bytes", Layout::Hid, hidReply(0x88888888, 69), 0, false, 0x100},
      {"HID 71 bytes", Layout::Hid, hidReply(0x88888888, 71), 0, false, 0x100},
      {"HID offset 15", Layout::Hid, hidWithSecondWord, 15, true, 0xDEADBFEF},
      {"HID offset 16", Layout::Hid, hidWithSecondWord, 16, false, 0x100},
      {"serial 8 bytes", Layout::Serial, serialReply(0x88888888), 0, true, 0x88888988},
      {"serial 8 bytes, little-endian", Layout::Serial, serialReply(0x12345678), 0, true, 0x12345778},
      {"serial 7 bytes", Layout::Serial, Bytes{0, 0, 0, 0, 0x88, 0x88, 0x88}, 0, false, 0x100},
      {"serial empty", Layout::Serial, Bytes{}, 0, false, 0x100},
      {"serial offset 1 needs 12 bytes", Layout::Serial, twelve, 1, true, 0x05040302 | 0x100},
      {"serial offset 1 of 11 bytes", Layout::Serial, Bytes(twelve.begin(), twelve.end() - 1), 1, false, 0x100},
      {"serial offset 16", Layout::Serial, Bytes(80, 0xFF), 16, false, 0x100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned int value = 0x100;
    bool taken = c.layout == Layout::Serial ? Serial_SDPLoader::valueFromReply(c.reply, c.offset, value)
                                            : HID_SDPLoader::valueFromReply(c.reply, c.offset, value);
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(value, c.value);
  }
}

TEST(SDPReplies, TransportsTakeValuesWithTheirOwnLayout) {
  Serial_SDPLoader serial("/nonexistent/port");
  HID_SDPLoader hid(HID_SDPLoader::IMX_VENDOR_ID, HID_SDPLoader::IMX_PRODUCT_ID);
  unsigned int value = 0;
  EXPECT_TRUE(serial.getDataFromBuffer(serialReply(0x88888888), 0, value));
  EXPECT_EQ(value, 0x88888888u);
  value = 0;
  EXPECT_FALSE(serial.getDataFromBuffer(hidReply(0x88888888, 7), 0, value));
  EXPECT_TRUE(hid.getDataFromBuffer(hidReply(0xF0F0F0F0), 0, value));
  EXPECT_EQ(value, 0xF0F0F0F0u);
  EXPECT_FALSE(hid.getDataFromBuffer(serialReply(0x88888888), 0, value));
}

TEST(SDPReplies, HidTransportWithoutADevice) {
  // No device with this vendor and product id exists here: init fails, and the transport stays
  // closed (nothing sent, nothing read) until it is destroyed.
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(std::make_unique<HID_SDPLoader>(0xFFFF, 0xFFFE)));
  EXPECT_EQ(loader.init(), 6);
  EXPECT_EQ(loader.writeLoader(testImage(100), 0), 2);

  HID_SDPLoader hid(0xFFFF, 0xFFFE);
  Bytes reply;
  EXPECT_LT(hid.writeData(SDPLoader::_createStatusPacket()), 0);
  EXPECT_EQ(hid.readData(reply, 0), 0u);
  EXPECT_TRUE(reply.empty());
}

TEST(SDPReplies, ExpectQuestions) {
  struct Case {
    Bytes reply;
    bool success, ack, response;
  };
  const Case cases[] = {
      {serialReply(0x88888888), true, false, true},
      {serialReply(0xF0F0F0F0), false, true, true},
      {serialReply(0x12345678), false, false, true},
      {Bytes{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88}, false, false, false},
      {Bytes{}, false, false, false},
  };
  Scripted s(Layout::Serial, {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.size());
    EXPECT_EQ(s.loader._expectSuccess(c.reply), c.success);
    EXPECT_EQ(s.loader._expectAck(c.reply), c.ack);
    EXPECT_EQ(s.loader._expectResponse(c.reply), c.response);
  }
}

TEST(SDPReplies, HidKeepsFiveBytesOfTheSecurityReport) {
  struct Case {
    const char* name;
    Bytes report;
    size_t kept;
  };
  Bytes security(65, 0xAA);
  security[0] = 3;
  Bytes data(65, 0xBB);
  data[0] = 4;
  const Case cases[] = {
      {"report 3 of 65 bytes", security, 5},
      {"report 3 of 5 bytes", Bytes(security.begin(), security.begin() + 5), 5},
      {"report 3 of 3 bytes", Bytes(security.begin(), security.begin() + 3), 3},
      {"report 4 of 65 bytes", data, 65},
      {"empty read", Bytes{}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes reply{0x77};
    EXPECT_EQ(HID_SDPLoader::appendReport(reply, c.report.data(), c.report.size()), c.kept);
    ASSERT_EQ(reply.size(), 1 + c.kept);
    EXPECT_TRUE(std::equal(reply.begin() + 1, reply.end(), c.report.begin()));
  }
  // the two reports of a status reply make the 70 bytes a value is taken from
  Bytes reply;
  HID_SDPLoader::appendReport(reply, security.data(), security.size());
  HID_SDPLoader::appendReport(reply, data.data(), data.size());
  EXPECT_EQ(reply.size(), HID_SDPLoader::VALUE_REPLY_SIZE);
}

// ---- set-up, start and fingerprint ---------------------------------------------------------

TEST(SDPLoaderSetup, SetLoaderTwiceKeepsTheFirst) {
  Recording first, second;
  {
    SDPLoader loader;
    auto kept = std::make_unique<ScriptedTransport>(first, Layout::Serial);
    auto refusedTransport = std::make_unique<ScriptedTransport>(second, Layout::Serial);
    refusedTransport->initResult = false;
    // Held as the interface type, as callers do, so that a refused call moves nothing.
    std::unique_ptr<SDPLoader_Interface> refused = std::move(refusedTransport);
    EXPECT_TRUE(loader.setLoader(std::move(kept)));
    EXPECT_FALSE(loader.setLoader(std::move(refused)));
    std::unique_ptr<SDPLoader_Interface> none;
    EXPECT_FALSE(loader.setLoader(std::move(none)));
    EXPECT_EQ(loader.init(), 0);
    EXPECT_EQ(first.inits, 1);
    EXPECT_EQ(second.inits, 0);
    ASSERT_NE(refused, nullptr);  // a refused transport stays the caller's
    refused.reset();
    EXPECT_TRUE(second.destroyed);
    EXPECT_FALSE(first.destroyed);
  }
  EXPECT_TRUE(first.destroyed);  // the loader destroys the transport it took
}

TEST(SDPLoaderSetup, ResultsWithoutAWorkingTransport) {
  SDPLoader bare;
  unsigned long fingerprint = 0;
  EXPECT_EQ(bare.init(), 1);
  EXPECT_EQ(bare.writeLoader(testImage(10), 0), 1);
  EXPECT_EQ(bare.getFingerprint(fingerprint), 1);
  bare.startLoader(0);  // nothing to do, and no crash

  Scripted failing(Layout::Serial, {});
  failing.transport->initResult = false;
  EXPECT_EQ(failing.loader.init(), 6);
}

TEST(SDPLoaderSetup, StartLoaderSendsTheJumpAndListensOnce) {
  Scripted s(Layout::Serial, {});
  s.loader.startLoader(0x20000400);
  EXPECT_EQ(s.recording.frames, (std::vector<Bytes>{SDPLoader::_createJumpPacket(0x20000400)}));
  EXPECT_EQ(s.recording.readTimeouts, (std::vector<unsigned int>{100}));
  // the jump is not taken back when the transport closes, though the ROM answers nothing
  EXPECT_EQ(s.recording.framesKeptAtClose, 1u);
}

TEST(SDPLoaderSetup, OnlyAJumpThatWasWrittenIsKeptAtClose) {
  Scripted jumpFails(Layout::Serial, {});
  jumpFails.transport->failingWrite = 0;
  jumpFails.loader.startLoader(0x20000400);
  EXPECT_EQ(jumpFails.recording.framesKeptAtClose, 0u);

  // a write cut by the stop check leaves its frames to be discarded
  Scripted cut(Layout::Serial, {serialReply(0)});
  cut.loader.setStopCheck([] { return true; });
  EXPECT_EQ(cut.loader.writeLoader(testImage(4096), 0x20000000), SDPLoader::SDP_TRANSFER_STOPPED);
  EXPECT_EQ(cut.recording.framesKeptAtClose, 0u);
}

TEST(SDPLoaderSetup, FingerprintAssemblesTheTwoRegisters) {
  struct Case {
    const char* name;
    Layout layout;
    std::vector<Bytes> script;
    int result;
    unsigned long fingerprint;
    size_t frames;
  };
  const unsigned long untouched = 0x5555555555555555UL;
  const Case cases[] = {
      {"serial", Layout::Serial, {serialReply(0), serialReply(0x11223344), serialReply(0xA5B6C7D8)}, 0,
       0xA5B6C7D811223344UL, 3},
      {"HID", Layout::Hid, {hidReply(0), hidReply(0xCAFEF00D), hidReply(1)}, 0, 0x00000001CAFEF00DUL, 3},
      {"no status answer", Layout::Serial, {}, 2, untouched, 5},
      {"second register silent", Layout::Serial, {serialReply(0), serialReply(0x11223344)}, 7, untouched, 3},
      {"first register short", Layout::Serial, {serialReply(0), Bytes{1, 2, 3}}, 7, untouched, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scripted s(c.layout, c.script);
    unsigned long fingerprint = untouched;
    EXPECT_EQ(s.loader.getFingerprint(fingerprint), c.result);
    EXPECT_EQ(fingerprint, c.fingerprint);
    ASSERT_EQ(s.recording.frames.size(), c.frames);
    if (c.result == 0) {
      EXPECT_EQ(s.recording.frames[1], SDPLoader::_create4ByteReadRegisterPacket(0x401F4410));
      EXPECT_EQ(s.recording.frames[2], SDPLoader::_create4ByteReadRegisterPacket(0x401F4420));
    }
  }
}

// ---- dumps ------------------------------------------------------------------------------------

TEST(SDPDump, EveryByteAsUpperCaseHexWithoutPadding) {
  struct Case {
    const char* name;
    Bytes buffer;
    std::string text;
  };
  std::string longText;
  for (int i = 0; i < 1025; ++i) longText += "AB ";
  longText += "\n";
  const Case cases[] = {
      {"short", {0x01, 0x0A, 0xFF, 0x00}, "1 A FF 0 \n"},
      {"empty", {}, "\n"},
      {"a whole data frame, longer than one log record", Bytes(1025, 0xAB), longText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture(DEBUG_iMXSerial);
    SDPLoader::_printBuffer(c.buffer);
    EXPECT_EQ(capture.text(), c.text);
  }
}

TEST(SDPDump, NothingWhenThePackageIsOff) {
  LogCapture capture(DEBUG_iMXSerial);
  Log::package_bitmask = DEBUG_APP;
  SDPLoader::_printBuffer({1, 2, 3});
  Scripted s(Layout::Serial, {});
  EXPECT_EQ(s.loader.writeLoader(testImage(10), 0), SDPLoader::SDP_NEEDS_POWER_CYCLE);
  EXPECT_EQ(capture.text(), "");
}

}  // namespace
