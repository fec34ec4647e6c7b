#include "exchange/session.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>

#include "tests/support/temp_dir.h"

namespace orvandale::exchange {
namespace {

using testing::TempDir;
using testing::writeFile;
using Kind = SessionFailure::Kind;

struct LoadCase {
  const char* name;
  const char* content;
  std::optional<Session> session;  // what loads, or nothing
  Kind failure = Kind::invalid;    // the failure when nothing loads
};

Session session(std::string version, std::int32_t pid, double startedAt, bool capture = false) {
  return Session{std::move(version), pid, startedAt, capture};
}

constexpr const char* base = R"("version":"4.1.0","parentPid":321,"startedAt":1700000000000)";

std::string withBase(const char* extra) { return std::string("{") + base + extra + "}"; }

const LoadCase loadCases[] = {
    {"plain", R"({"version":"4.1.0","parentPid":321,"startedAt":1700000000000})", session("4.1.0", 321, 1700000000.0)},
    {"fraction of a millisecond kept", R"({"version":"4","parentPid":1,"startedAt":1700000000123.5})",
     session("4", 1, 1700000000.1235)},
    {"empty version", R"({"version":"","parentPid":1,"startedAt":0})", session("", 1, 0)},
    {"zero pid", R"({"version":"v","parentPid":0,"startedAt":0})", session("v", 0, 0)},
    {"negative pid", R"({"version":"v","parentPid":-5,"startedAt":0})", session("v", -5, 0)},
    {"largest pid", R"({"version":"v","parentPid":2147483647,"startedAt":0})", session("v", 2147483647, 0)},
    {"smallest pid", R"({"version":"v","parentPid":-2147483648,"startedAt":0})", session("v", -2147483648, 0)},
    {"pid with zero fraction", R"({"version":"v","parentPid":42.0,"startedAt":0})", session("v", 42, 0)},
    {"pid with exponent", R"({"version":"v","parentPid":4.2e1,"startedAt":0})", session("v", 42, 0)},
    {"startedAt negative", R"({"version":"v","parentPid":1,"startedAt":-5000})", session("v", 1, -5)},
    {"startedAt beyond any clock", R"({"version":"v","parentPid":1,"startedAt":1e300})", session("v", 1, 1e297)},
    {"startedAt integer beyond double precision", R"({"version":"v","parentPid":1,"startedAt":9007199254740993})",
     session("v", 1, 9007199254740992.0 / 1000)},
    {"startedAt beyond 64 bits", R"({"version":"v","parentPid":1,"startedAt":123456789012345678901234567890})",
     session("v", 1, 123456789012345678901234567890.0 / 1000)},
    {"unicode version", R"({"version":"5.0 \u00e9\u2026","parentPid":1,"startedAt":0})", session("5.0 é…", 1, 0)},
    {"extra keys ignored", R"({"version":"v","parentPid":1,"startedAt":0,"other":[1,{"x":null}],"Version":3})",
     session("v", 1, 0)},

    {"top-level array", R"([{"version":"v","parentPid":1,"startedAt":0}])", std::nullopt, Kind::invalid},
    {"empty object", "{}", std::nullopt, Kind::invalid},
    {"version missing", R"({"parentPid":1,"startedAt":0})", std::nullopt, Kind::invalid},
    {"version a number", R"({"version":4,"parentPid":1,"startedAt":0})", std::nullopt, Kind::invalid},
    {"version null", R"({"version":null,"parentPid":1,"startedAt":0})", std::nullopt, Kind::invalid},
    {"key case differs", R"({"Version":"v","parentPid":1,"startedAt":0})", std::nullopt, Kind::invalid},
    {"pid missing", R"({"version":"v","startedAt":0})", std::nullopt, Kind::invalid},
    {"pid a string of digits", R"({"version":"v","parentPid":"123","startedAt":0})", std::nullopt, Kind::invalid},
    {"pid above 32 bits", R"({"version":"v","parentPid":2147483648,"startedAt":0})", std::nullopt, Kind::invalid},
    {"pid below 32 bits", R"({"version":"v","parentPid":-2147483649,"startedAt":0})", std::nullopt, Kind::invalid},
    {"pid fractional", R"({"version":"v","parentPid":1.5,"startedAt":0})", std::nullopt, Kind::invalid},
    {"pid a boolean", R"({"version":"v","parentPid":true,"startedAt":0})", std::nullopt, Kind::invalid},
    {"pid null", R"({"version":"v","parentPid":null,"startedAt":0})", std::nullopt, Kind::invalid},
    {"pid huge float", R"({"version":"v","parentPid":1e300,"startedAt":0})", std::nullopt, Kind::invalid},
    {"startedAt missing", R"({"version":"v","parentPid":1})", std::nullopt, Kind::invalid},
    {"startedAt a string", R"({"version":"v","parentPid":1,"startedAt":"1700000000000"})", std::nullopt, Kind::invalid},
    {"startedAt a boolean", R"({"version":"v","parentPid":1,"startedAt":false})", std::nullopt, Kind::invalid},
    {"startedAt null", R"({"version":"v","parentPid":1,"startedAt":null})", std::nullopt, Kind::invalid},

    {"empty file", "", std::nullopt, Kind::unparsable},
    {"only whitespace", " \n\t", std::nullopt, Kind::unparsable},
    {"top-level string", R"("{\"version\":\"v\"}")", std::nullopt, Kind::unparsable},
    {"top-level number", "42", std::nullopt, Kind::unparsable},
    {"top-level true", "true", std::nullopt, Kind::unparsable},
    {"top-level null", "null", std::nullopt, Kind::unparsable},
    {"truncated", R"({"version":"v","parentPid":1,)", std::nullopt, Kind::unparsable},
    {"trailing garbage", R"({"version":"v","parentPid":1,"startedAt":0} x)", std::nullopt, Kind::unparsable},
    {"two texts", R"({} {})", std::nullopt, Kind::unparsable},
    {"invalid UTF-8", "{\"version\":\"\xff\xfe\",\"parentPid\":1,\"startedAt\":0}", std::nullopt, Kind::unparsable},
    {"comment", "{/* */\"version\":\"v\",\"parentPid\":1,\"startedAt\":0}", std::nullopt, Kind::unparsable},
    {"startedAt beyond any double", R"({"version":"v","parentPid":1,"startedAt":1e400})", std::nullopt, Kind::unparsable},
};

TEST(SessionTest, LoadsOrFailsByContent) {
  for (const LoadCase& c : loadCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir / "session.json", c.content);
    auto loaded = readSession(dir.path());
    if (c.session) {
      const Session* got = std::get_if<Session>(&loaded);
      ASSERT_NE(got, nullptr) << "expected to load";
      EXPECT_EQ(got->version, c.session->version);
      EXPECT_EQ(got->parentPid, c.session->parentPid);
      EXPECT_DOUBLE_EQ(got->startedAt, c.session->startedAt);
      EXPECT_EQ(got->capture, c.session->capture);
    } else {
      const SessionFailure* got = std::get_if<SessionFailure>(&loaded);
      ASSERT_NE(got, nullptr) << "expected a failure";
      EXPECT_EQ(got->kind, c.failure);
    }
  }
}

TEST(SessionTest, CaptureIsOnOnlyForTrue) {
  const struct {
    const char* value;
    bool capture;
  } cases[] = {
      {"true", true}, {"false", false}, {R"("true")", false}, {"1", false},  {"0", false},
      {"null", false}, {"[]", false},   {"[true]", false},    {"{}", false}, {"1.0", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    TempDir dir;
    writeFile(dir / "session.json", withBase((std::string(R"(,"capture":)") + c.value).c_str()));
    auto loaded = readSession(dir.path());
    ASSERT_TRUE(std::holds_alternative<Session>(loaded));
    EXPECT_EQ(std::get<Session>(loaded).capture, c.capture);
  }
  TempDir absent;
  writeFile(absent / "session.json", withBase(""));
  EXPECT_FALSE(std::get<Session>(readSession(absent.path())).capture);
}

// What stands at the name session.json decides whether it is read at all.
TEST(SessionTest, OnlyARegularFileIsRead) {
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    int error;
  } cases[] = {
      {"missing", [](const std::filesystem::path&) {}, ENOENT},
      {"a directory", [](const std::filesystem::path& at) { std::filesystem::create_directory(at); }, EINVAL},
      {"a FIFO", [](const std::filesystem::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }, EINVAL},
      {"a symlink to /dev/zero", [](const std::filesystem::path& at) { std::filesystem::create_symlink("/dev/zero", at); },
       EINVAL},
      {"a dangling symlink", [](const std::filesystem::path& at) { std::filesystem::create_symlink("nowhere", at); },
       ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.make(dir / "session.json");
    auto loaded = readSession(dir.path());
    const SessionFailure* failure = std::get_if<SessionFailure>(&loaded);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->kind, Kind::unreadable);
    EXPECT_EQ(failure->error.value(), c.error);
  }
}

TEST(SessionTest, FollowsASymlinkToARegularFile) {
  TempDir dir;
  writeFile(dir / "real.json", withBase(R"(,"capture":true)"));
  std::filesystem::create_symlink("real.json", dir / "session.json");
  auto loaded = readSession(dir.path());
  ASSERT_TRUE(std::holds_alternative<Session>(loaded));
  EXPECT_TRUE(std::get<Session>(loaded).capture);
}

TEST(SessionTest, ADirectoryThatIsAFileIsUnreadable) {
  TempDir dir;
  writeFile(dir / "plain", "x");
  auto loaded = readSession(dir / "plain");
  ASSERT_TRUE(std::holds_alternative<SessionFailure>(loaded));
  EXPECT_EQ(std::get<SessionFailure>(loaded).kind, Kind::unreadable);
  EXPECT_EQ(std::get<SessionFailure>(loaded).error.value(), ENOTDIR);
}

TEST(SessionTest, DeeplyNestedExtraMemberLoads) {
  TempDir dir;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  writeFile(dir / "session.json", "{\"x\":" + deep + "," + base + "}");
  auto loaded = readSession(dir.path());
  ASSERT_TRUE(std::holds_alternative<Session>(loaded));
  EXPECT_EQ(std::get<Session>(loaded).version, "4.1.0");
}

}  // namespace
}  // namespace orvandale::exchange
