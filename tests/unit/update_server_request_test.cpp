// The update server client: the URLs it requests, how it cuts replies, and how transport
// failures end. Every request goes to a local HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "local_http_server.h"
#include "log_capture.h"
#include "server/HTTPRequest.h"
#include "server/ReplyBody.h"
#include "server/UpdateServerRequest.h"
#include "support/NumberText.h"

namespace {

using Map = std::map<std::string, std::string>;
using namespace std::string_literals;
using Framing = LocalHttpServer::Framing;

// A port on 127.0.0.1 where nothing listens.
std::string closedPortUrl() {
  std::string url;
  {
    LocalHttpServer server;
    url = server.url();
  }
  return url;
}

const unsigned int kFingerprint[4] = {1, 2, 3, 4};

TEST(UpdateServerRequestTest, RequestsAskForTheseExactTargets) {
  LocalHttpServer server;
  server.set(200, "ok\n");
  const std::string url = server.url();
  std::string build, firmware, content;
  Map builds;
  unsigned int serial = 0, buildNumber = 0;

  struct Case {
    const char* name;
    bool (*run)(const char* url, std::string&, std::string&, std::string&, Map&, unsigned&, unsigned&);
    const char* target;
  };
  const Case cases[] = {
      {"ping", [](const char* u, std::string&, std::string&, std::string&, Map&, unsigned&,
                  unsigned&) { return UpdateServerRequest::ping(u); },
       "/cgi/u?op=hi&rv=2&"},
      {"QueryBuild", [](const char* u, std::string& b, std::string& f, std::string&, Map&, unsigned&,
                        unsigned&) { return UpdateServerRequest::QueryBuild(0x12ABCD, b, f, u); },
       "/cgi/u?op=qu&sn=0012ABCD&"},
      {"GetBuild", [](const char* u, std::string&, std::string&, std::string& c, Map&, unsigned&,
                      unsigned&) { return UpdateServerRequest::GetBuild(0x40F5849A, "fw-a", "1234", c, u, false); },
       "/cgi/u?bld=1234&fw=fw-a&no_cal=false&op=bird&sn=40F5849A&"},
      {"GetBuild no_cal", [](const char* u, std::string&, std::string&, std::string& c, Map&, unsigned&,
                             unsigned&) { return UpdateServerRequest::GetBuild(0xA, "x", "7", c, u, true); },
       "/cgi/u?bld=7&fw=x&no_cal=true&op=bird&sn=0000000A&"},
      {"GetBuildList", [](const char* u, std::string&, std::string&, std::string&, Map& m, unsigned&,
                          unsigned&) { return UpdateServerRequest::GetBuildList(0xDEADBEEF, m, u); },
       "/cgi/u?op=builds&sn=DEADBEEF&"},
      {"GetRecoveryInfo", [](const char* u, std::string&, std::string&, std::string&, Map&, unsigned& s,
                             unsigned& b) { return UpdateServerRequest::GetRecoveryInfo(kFingerprint, &s, &b, u); },
       "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.run(url.c_str(), build, firmware, content, builds, serial, buildNumber)) << c.name;
    ASSERT_FALSE(server.targets().empty()) << c.name;
    EXPECT_EQ(server.targets().back(), c.target) << c.name;
  }
  EXPECT_EQ(server.targets().size(), std::size(cases));
}

TEST(UpdateServerRequestTest, BuildURLKeepsKeyOrderAndTrailingAmpersand) {
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
  EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"z", "1"}, {"a", "x y"}, {"B", ""}}),
            "http://h/cgi/u?B=&a=x y&z=1&");
  EXPECT_EQ(HTTPRequest::BuildURL(nullptr, {{"op", "hi"}}), "?op=hi&");
}

TEST(UpdateServerRequestTest, FirstLineDecidesSuccess) {
  LocalHttpServer server;
  const std::string url = server.url();
  struct Case {
    std::string body;
    bool ok;
  };
  const Case cases[] = {
      {"ok\n", true},    {"ok", true},           {"okay\n", true},  {"\n\n\nok\n", true},
      {"ok\r\n", true},  {"OK\n", false},        {"", false},        {"\n\n", false},
      {"o\nk\n", false}, {"error\nok\n", false}, {" ok\n", false},  {"\0ok\n"s, false},
  };
  for (const Case& c : cases) {
    server.set(200, c.body);
    EXPECT_EQ(UpdateServerRequest::ping(url.c_str()), c.ok) << "[" << c.body << "]";
    EXPECT_EQ(UpdateServerRequest::DecodeOk(c.body), c.ok) << "[" << c.body << "]";
  }
}

TEST(UpdateServerRequestTest, RefusedFirstLineIsLoggedWithNameAndUrl) {
  LocalHttpServer server;
  const std::string url = server.url();
  server.set(200, "OK\n1\nfw\n");
  LogCapture log(Log::package_bitmask | DEBUG_ServerComm);
  std::string build = "before", firmware = "before";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x12ABCD, build, firmware, url.c_str()));
  EXPECT_EQ(build, "before");
  EXPECT_EQ(firmware, "before");
  EXPECT_NE(log.text().find("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=0012ABCD&]\n"),
            std::string::npos)
      << log.text();
}

TEST(UpdateServerRequestTest, QueryBuildReplies) {
  LocalHttpServer server;
  const std::string url = server.url();
  struct Case {
    std::string body;
    bool ok;
    const char* build;
    const char* firmware;
  };
  const Case cases[] = {
      {"ok\n\n1234\nfw-2\n", true, "1234", "fw-2"},  // the empty line does not count
      {"okay\n55\nx\n", true, "55", "x"},
      {"ok\n1234\r\nfw\r\n", true, "1234\r", "fw"},   // "\r" stays in the build, not in the firmware
      {"ok\n77\n", true, "77", "old-fw"},             // a missing line keeps the previous value
      {"ok\n", true, "old-build", "old-fw"},
      {"ok\n9\n\r\r\nfw9\n", true, "9", "fw9"},        // leading "\r" and "\n" skipped before the firmware
      {"ok\n12\0 34\n"s, true, "12", "old-fw"},         // nothing after a zero byte is read
      {"OK\n1\n2\n", false, "old-build", "old-fw"},
      {"", false, "old-build", "old-fw"},
  };
  for (const Case& c : cases) {
    server.set(200, c.body);
    std::string build = "old-build", firmware = "old-fw";
    EXPECT_EQ(UpdateServerRequest::QueryBuild(1, build, firmware, url.c_str()), c.ok) << c.body;
    EXPECT_EQ(build, c.build) << c.body;
    EXPECT_EQ(firmware, c.firmware) << c.body;
  }
}

TEST(UpdateServerRequestTest, GetBuildReplies) {
  LocalHttpServer server;
  const std::string url = server.url();
  struct Case {
    const char* body;
    bool ok;
    const char* content;
  };
  const Case cases[] = {
      {"ok\nQUJD\n", true, "QUJD"},
      {"ok\n\nQUJD", true, "QUJD"},
      {"ok\nQUJD\r\n", true, "QUJD\r"},
      {"ok\n", true, ""},  // emptied when the image line is missing
      {"okay\nAA==\nmore\n", true, "AA=="},
      {"no\nQUJD\n", false, "previous"},
  };
  for (const Case& c : cases) {
    server.set(200, c.body);
    std::string content = "previous";
    EXPECT_EQ(UpdateServerRequest::GetBuild(1, "fw", "1", content, url.c_str(), false), c.ok) << c.body;
    EXPECT_EQ(content, c.content) << c.body;
  }
}

TEST(UpdateServerRequestTest, GetBuildListReplies) {
  LocalHttpServer server;
  const std::string url = server.url();
  struct Case {
    const char* body;
    bool ok;
    Map builds;
  };
  const Case cases[] = {
      {"ok\n100;1.0\n99\n101;2.0;x\n", true, {{"100", "1.0"}, {"101", "2.0"}}},
      {"ok\n102\n", true, {{"102", ""}}},
      {"ok\n7;1.10\n7;9.9\n9;1.9\n", true, {{"7", "1.10"}, {"9", "1.9"}}},  // the first version stays
      {"ok\r\n5;1.2\r\n\r\n6;;3.4\n", true, {{"5", "1.2"}, {"6", "3.4"}}},
      {"ok\n;;;\n;8;v\nab\n", true, {{"8", "v"}}},
      {"ok\n", true, {}},
      {"okay\n1;a;b;c;d\n", true, {{"1", "a"}}},
      {"nope\n1;2\n", false, {}},
  };
  for (const Case& c : cases) {
    server.set(200, c.body);
    Map builds{{"stale", "entry"}};
    EXPECT_EQ(UpdateServerRequest::GetBuildList(1, builds, url.c_str()), c.ok) << c.body;
    EXPECT_EQ(builds, c.builds) << c.body;
  }
}

TEST(UpdateServerRequestTest, GetRecoveryInfoReplies) {
  LocalHttpServer server;
  const std::string url = server.url();
  struct Case {
    const char* body;
    bool ok;
    unsigned int serial;
    unsigned int build;
  };
  const Case cases[] = {
      {"ok\n0012ABCD\n1234\n", true, 0x0012ABCD, 1234},
      {"ok\n0x1f\n0x10\n", true, 0x1F, 16},
      {"ok\nABCZ\n010\n", true, 0xABC, 8},         // reading stops at the first non-digit; "0" means octal
      {"ok\n40F5849A\n", true, 0x40F5849A, 99},      // missing line keeps its output
      {"ok\n", true, 77, 99},
      {"ok\n1FFFFFFFF\n1\n", false, 77, 99},          // does not fit 32 bits: nothing taken
      {"ok\n1\n99999999999\n", false, 77, 99},
      {"OK\n1\n2\n", false, 77, 99},
  };
  for (const Case& c : cases) {
    server.set(200, c.body);
    unsigned int serial = 77, build = 99;
    EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, url.c_str()), c.ok) << c.body;
    EXPECT_EQ(serial, c.serial) << c.body;
    EXPECT_EQ(build, c.build) << c.body;
  }
}

TEST(UpdateServerRequestTest, StatusOtherThan200FailsEveryRequestAndLeavesOutputs) {
  LocalHttpServer server;
  const std::string url = server.url();
  for (int status : {404, 500, 201, 302}) {
    server.set(status, "ok\n1234\nfw\n");
    std::string build = "b", firmware = "f", content = "c";
    Map builds{{"x", "y"}};
    unsigned int serial = 5, buildNumber = 6;
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str())) << status;
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, firmware, url.c_str())) << status;
    EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "f", "1", content, url.c_str(), false)) << status;
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, url.c_str())) << status;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &buildNumber, url.c_str())) << status;
    EXPECT_EQ(build, "b");
    EXPECT_EQ(firmware, "f");
    EXPECT_EQ(content, "c");
    EXPECT_TRUE(builds.empty());
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(buildNumber, 6u);
  }
}

TEST(UpdateServerRequestTest, StatusFailureIsLogged) {
  LocalHttpServer server;
  const std::string url = server.url();
  server.set(404, "not here");
  LogCapture log(Log::package_bitmask | DEBUG_ServerComm);
  std::string content;
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "f", "1", content, url.c_str(), false));
  std::string text = log.text();
  EXPECT_NE(text.find("GET(" + url + "?op=hi&rv=2&)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("PING ==> [404] [not here]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("GetBuild ==> [404] [not here]\n"), std::string::npos) << text;
}

TEST(UpdateServerRequestTest, UnreachableServerThrowsFromGetAndFailsRequests) {
  const std::string url = closedPortUrl();
  EXPECT_THROW(
      {
        try {
          (void)HTTPRequest::GET(url.c_str(), {{"op", "hi"}});
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "Couldn't connect to server");
          throw;
        }
      },
      std::runtime_error);
  LogCapture log(Log::package_bitmask | DEBUG_ServerComm);
  std::string build = "b", firmware = "f";
  EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, firmware, url.c_str()));
  EXPECT_EQ(build, "b");
  EXPECT_NE(log.text().find("QueryBuild ==> [Couldn't connect to server]\n"), std::string::npos) << log.text();
}

TEST(UpdateServerRequestTest, BodyBoundAndBrokenTransfersAreFailures) {
  LocalHttpServer server;
  const std::string url = server.url();
  const std::string big = "ok\n" + std::string(5000, 'A') + "\n";
  struct Case {
    const char* name;
    Framing framing;
    size_t bound;
    const char* error;  // null: succeeds
  };
  const Case cases[] = {
      {"declared length over the bound", Framing::Length, 1000, "Reply body exceeds 1000 bytes"},
      {"undeclared length over the bound", Framing::CloseEnds, 1000, "Reply body exceeds 1000 bytes"},
      {"exactly the bound", Framing::CloseEnds, 5004, nullptr},
      {"connection closed before the declared length", Framing::CutShort, 1 << 20,
       "Transferred a partial file"},
  };
  for (const Case& c : cases) {
    server.set(200, big, c.framing);
    if (c.error == nullptr) {
      EXPECT_EQ(HTTPRequest::GET(url.c_str(), {}, c.bound).body(), big) << c.name;
      continue;
    }
    try {
      (void)HTTPRequest::GET(url.c_str(), {}, c.bound);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), c.error) << c.name;
    }
  }
  // A cut image never reaches the caller.
  server.set(200, big, Framing::CutShort);
  std::string content = "previous";
  EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "f", "1", content, url.c_str(), false));
  EXPECT_EQ(content, "previous");
}

TEST(UpdateServerRequestTest, TransferFailuresCarryTheirCause) {
  LocalHttpServer server;
  const std::string url = server.url();
  const std::string big = "ok\n" + std::string(5000, 'A') + "\n";
  struct Case {
    const char* name;
    LocalHttpServer::Reply reply;
    size_t bound;
    long totalMs;
    const char* cause;
  };
  const Case cases[] = {
      {"declared length over the bound", {200, big, Framing::Length, 0}, 1000, 0, "reply body exceeds 1000 bytes"},
      {"undeclared length over the bound", {200, big, Framing::CloseEnds, 0}, 1000, 0, "reply body exceeds 1000 bytes"},
      {"cut short", {200, big, Framing::CutShort, 0}, 1 << 20, 0, "transfer closed with 100 bytes remaining to read"},
      {"total bound", {200, big, Framing::Length, 1500}, 1 << 20, 1000, "no answer from the update server within 1 s"},
  };
  for (const Case& c : cases) {
    server.set(c.reply);
    try {
      (void)HTTPRequest::GET(url.c_str(), {}, c.bound, c.totalMs);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const HTTPError& error) {
      EXPECT_EQ(error.cause(), c.cause) << c.name;
    }
  }
}

// The HTTP client may judge the total bound up a little before our own clock says so; which
// bound ended a transfer is told by the order in which the bounds fall due.
TEST(UpdateServerRequestTest, TheBoundDueFirstIsTheOneThatEndedATransfer) {
  const long floorMs = HTTPRequest::LOW_SPEED_TIME_S * 1000;
  const long connectMs = HTTPRequest::CONNECT_TIMEOUT_S * 1000;
  struct Case {
    const char* name;
    long totalMs;
    long elapsedMs;
    bool connected;
    bool total;
  };
  const Case cases[] = {
      {"connected, total bound under the floor, our clock a little behind", 4000, 3998, true, true},
      {"connected, total bound under the floor, on time", 4000, 4003, true, true},
      {"not connected, total bound under the connection bound", 4000, 3998, false, true},
      {"not connected, total bound past the connection bound", connectMs + 60000, connectMs, false, false},
      {"connected, the floor ended it before the total bound", floorMs + 60000, floorMs + 1000, true, false},
      {"connected, total bound past the floor, reached", floorMs + 60000, floorMs + 60000, true, true},
      {"no total bound", 0, 5000, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HTTPRequest::TotalBoundEnded(c.totalMs, c.elapsedMs, c.connected), c.total) << c.name;
  }
}

TEST(UpdateServerRequestTest, RefusedRepliesNameWhatCame) {
  LocalHttpServer server;
  const std::string url = server.url();
  struct Case {
    std::string body;
    std::string cause;
  };
  const std::vector<Case> cases = {
      {"", "the update server's reply is empty"},
      {"\n\n", "the update server's reply is empty"},
      {"fail\nok\n", "the update server answered \"fail\" instead of \"ok\""},
      {"no\x1b[2J\n", "the update server answered \"no?[2J\" instead of \"ok\""},
      {std::string(70, 'x') + "\n",
       "the update server answered \"" /* the first 60 characters */
       "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...\" instead of \"ok\""},
      {"ok\n1FFFFFFFF\n7\n", "the update server's reply holds a number that does not fit 32 bits"},
      // A refusal's reason, on the line after "error": printable and cut.
      {"error\nunknown fingerprint\n", "the update server answered \"error\": unknown fingerprint"},
      {"error\r\n\nno \x1b[2Jentry\x07\r\nmore\n", "the update server answered \"error\": no ?[2Jentry?"},
      {"error\n" + std::string(250, 'r') + "\n", "the update server answered \"error\": " + std::string(200, 'r') + "..."},
      {"error\n", "the update server answered \"error\" instead of \"ok\""},
      {"error\n\r\n", "the update server answered \"error\" instead of \"ok\""},
      {"errors\nreason\n", "the update server answered \"errors\" instead of \"ok\""},
  };
  for (const Case& c : cases) {
    server.set(200, c.body);
    unsigned int serial = 0, build = 0;
    std::string cause;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &serial, &build, url.c_str(), &cause)) << c.body;
    EXPECT_EQ(cause, c.cause) << c.body;
  }
  // A status other than 200 is named before the body is looked at.
  server.set(404, "ok\n");
  std::string cause;
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str(), &cause));
  EXPECT_EQ(cause, "HTTP status 404");
}

TEST(UpdateServerRequestTest, OnlyHttpIsSpoken) {
  EXPECT_THROW((void)HTTPRequest::GET("file:///etc/hostname", {}), std::runtime_error);
  EXPECT_FALSE(UpdateServerRequest::ping("file:///etc/hostname"));
}

TEST(UpdateServerRequestTest, ReceiveCallbackAppendsAndLogsAtMost100Bytes) {
  HTTPResponse response("http://x/", 300);
  LogCapture log(Log::package_bitmask | DEBUG_ServerComm);
  std::string chunk(150, 'Q');
  EXPECT_EQ(_rcv_data(chunk.data(), 1, chunk.size(), &response), 150u);
  EXPECT_EQ(_rcv_data(chunk.data(), 50, 3, &response), 150u);
  EXPECT_EQ(response.body(), chunk + chunk);
  EXPECT_EQ(_rcv_data(chunk.data(), 1, 1, &response), 0u);  // one byte past the bound
  EXPECT_TRUE(response.overflowed());
  EXPECT_EQ(response.body().size(), 300u);
  std::string text = log.text();
  EXPECT_NE(text.find("[" + std::string(100, 'Q') + "]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find(std::string(101, 'Q')), std::string::npos) << text;
  EXPECT_NE(text.find("rcv_data returns 150\n"), std::string::npos) << text;
}

// A body is kept in pieces as it arrives and read whole, in order, however the chunks fall across
// the pieces and however reads and appends alternate.
TEST(UpdateServerRequestTest, ReplyBodyKeepsEveryByteInOrder) {
  const size_t piece = ReplyBody::PIECE_BYTES;
  std::string expected;
  ReplyBody body;
  const size_t sizes[] = {0, 1, piece - 2, 1, 1, piece, 3 * piece + 5, 7};
  unsigned char next = 0;
  for (size_t size : sizes) {
    std::string chunk(size, '\0');
    for (char& c : chunk) c = static_cast<char>(next++);
    ASSERT_TRUE(body.append(chunk.data(), chunk.size()));
    expected += chunk;
    EXPECT_EQ(expected.size(), body.size());
  }
  std::string text = "head:";
  body.moveInto(text);
  EXPECT_EQ(0u, body.size());
  EXPECT_TRUE(text == "head:" + expected);
  ReplyBody moved = std::move(body);
  EXPECT_EQ(0u, moved.size());

  HTTPResponse response("http://h/", 3 * piece);
  EXPECT_TRUE(response.process(expected.data(), piece + 1));
  EXPECT_EQ(piece + 1, response.body().size());
  EXPECT_TRUE(response.process(expected.data() + piece + 1, piece));
  EXPECT_TRUE(response.body() == expected.substr(0, 2 * piece + 1));
  EXPECT_FALSE(response.process(expected.data(), piece));  // past the bound: nothing appended
  EXPECT_TRUE(response.overflowed());
  EXPECT_EQ(2 * piece + 1, response.body().size());
}

TEST(UpdateServerRequestTest, ResponseAccessors) {
  HTTPResponse response("http://h/cgi/u?op=hi&");
  EXPECT_EQ(response.get_status(), 0);
  EXPECT_STREQ(response.get_response(), "");
  EXPECT_STREQ(response.get_request(), "http://h/cgi/u?op=hi&");
  EXPECT_TRUE(response.process("ab", 2));
  EXPECT_TRUE(response.process("c", 1));
  response.set_status(404);
  EXPECT_EQ(response.get_status(), 404);
  EXPECT_STREQ(response.get_response(), "abc");
}

TEST(NumberTextTest, ReadsLikeTheServerTexts) {
  struct Case {
    const char* text;
    int base;
    bool ok;
    uint64_t value;
  };
  const Case cases[] = {
      {"1234", 10, true, 1234},
      {"  12x", 10, true, 12},
      {"1234\r", 10, true, 1234},
      {"abc", 10, false, 0},
      {"", 10, false, 0},
      {"-5", 10, false, 0},
      {"+5", 10, false, 0},
      {"18446744073709551615", 10, true, UINT64_MAX},
      {"18446744073709551616", 10, false, 0},
      {"99999999999999999999999", 10, false, 0},
      {"0x1F", 16, true, 31},
      {"1f", 16, true, 31},
      {"0xg", 16, true, 0},
      {"0x10", 0, true, 16},
      {"010", 0, true, 8},
      {"019", 0, true, 1},
      {"0", 0, true, 0},
      {"90", 0, true, 90},
  };
  for (const Case& c : cases) {
    uint64_t value = 4242;
    EXPECT_EQ(ReadUnsignedNumber(c.text, c.base, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 4242u) << c.text;
  }
}

// A build number typed by a person: plain decimal that fits 32 bits, and not 0.
TEST(NumberTextTest, BuildNumberIsPlainDecimal) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"1234", true, 1234},        {"0012", true, 12},  {"4294967295", true, 4294967295u},
      {"4294967296", false, 0},    {"99999999999", false, 0}, {"1234x", false, 0},
      {"abc", false, 0},           {"-5", false, 0},    {"+5", false, 0},
      {"0x4D2", false, 0},         {" 12", false, 0},   {"12 ", false, 0},
      {"", false, 0},              {"0", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t value = 4242;
    EXPECT_EQ(ParseBuildNumber(c.text, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 4242u) << c.text;
  }
}

// A build number in the server's or the settings' text: leading white space and trailing text
// allowed, nothing above 32 bits.
TEST(NumberTextTest, ServerBuildNumberReadsLeadingDecimal) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"1234", true, 1234}, {" 12", true, 12},      {"1234.bird", true, 1234}, {"4294967295", true, 4294967295u},
      {"0", true, 0},       {"4294967296", false, 0}, {"abc", false, 0},       {"", false, 0},
      {"-5", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t value = 4242;
    EXPECT_EQ(ReadServerBuildNumber(c.text, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 4242u) << c.text;
  }
}

}  // namespace
