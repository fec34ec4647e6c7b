#include "exchange/json_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace orvandale::exchange {
namespace {

using testing::TempDir;
using testing::writeFile;

// A FIFO that another process holds open for writing would block a plain read until that
// process closes it; it must be refused at once instead.
TEST(JsonFileTest, RefusesAFifoEvenWithAWriterAttached) {
  TempDir dir;
  const auto fifo = dir / "status.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "{}", 2), 2);

  auto read = readJsonObject(fifo);
  ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
  EXPECT_EQ(std::get<ReadFailure>(read).kind, ReadFailure::Kind::unreadable);
  EXPECT_EQ(std::get<ReadFailure>(read).error.value(), EINVAL);
  ::close(writer);
  ::close(reader);
}

TEST(JsonFileTest, TakesAnArrayAsAnEmptyObjectAndRefusesScalars) {
  const struct {
    const char* content;
    bool object;  // read as an object (else: a parse failure)
    std::size_t members;
  } cases[] = {
      {R"({"a":1,"b":2})", true, 2}, {"[1,2,3]", true, 0}, {"[]", true, 0},     {" {} ", true, 0},
      {"\xef\xbb\xbf{}", true, 0},   {"\"s\"", false, 0},  {"-1", false, 0},    {"false", false, 0},
      {"", false, 0},                {"{", false, 0},       {"{}}", false, 0}, {"{'a':1}", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    TempDir dir;
    writeFile(dir / "f.json", c.content);
    auto read = readJsonObject(dir / "f.json");
    if (c.object) {
      ASSERT_TRUE(std::holds_alternative<nlohmann::json>(read));
      EXPECT_TRUE(std::get<nlohmann::json>(read).is_object());
      EXPECT_EQ(std::get<nlohmann::json>(read).size(), c.members);
    } else {
      ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
      EXPECT_EQ(std::get<ReadFailure>(read).kind, ReadFailure::Kind::unparsable);
    }
  }
}

TEST(JsonFileTest, SurvivesNestingAHundredThousandLevelsDeep) {
  TempDir dir;
  writeFile(dir / "deep.json", std::string(100000, '[') + std::string(100000, ']'));
  auto read = readJsonObject(dir / "deep.json");
  ASSERT_TRUE(std::holds_alternative<nlohmann::json>(read));
  EXPECT_TRUE(std::get<nlohmann::json>(read).empty());

  writeFile(dir / "open.json", std::string(100000, '{'));
  EXPECT_TRUE(std::holds_alternative<ReadFailure>(readJsonObject(dir / "open.json")));
}

// What the library's own whole parse of `text` gives, with every value nested in a top-level
// member emptied: what the readers are to keep. (The library takes a NUL for the end of the
// text; JSON does not.)
nlohmann::json keptOfWholeParse(const std::string& text) {
  if (text.find('\0') != std::string::npos) return nlohmann::json(nlohmann::json::value_t::discarded);
  nlohmann::json whole = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (whole.is_array()) return nlohmann::json::array();
  if (!whole.is_object()) return nlohmann::json(nlohmann::json::value_t::discarded);
  for (auto& [key, value] : whole.items()) {
    if (value.is_object()) value = nlohmann::json::object();
    if (value.is_array()) value = nlohmann::json::array();
  }
  return whole;
}

TEST(JsonFileTest, KeepsWhatTheWholeParseHoldsAtTheTopAndOnlyTheKindOfWhatIsNested) {
  const std::string cases[] = {
      R"({"phase":"installing","message":"m"})",
      R"({"i":-7,"u":18446744073709551615,"f":2.5e-3,"t":true,"n":null,"s":"\u00e9\u2026\u0000"})",
      R"({"phase":{"phase":"error"},"message":["a",{"b":[]}],"x":{}})",
      R"({"phase":"first","phase":"last"})",
      R"({"phase":"first","phase":{"a":1}})",
      R"({"phase":{"a":1},"phase":"last"})",
      R"([{"phase":"installing"},1,"x"])",
      R"({"":1})",
      "\xef\xbb\xbf{\"phase\":\"bom\"}",
      R"({"deep":[[[[[[[[[[{"phase":"error"}]]]]]]]]]],"phase":"restarting"})",
      R"({"phase":"a"} {"phase":"b"})",
      R"({"phase":"a",})",
      R"({"phase":1e400})",
      R"({"phase":"\ud800"})",
      "{\"phase\":\"\xed\xa0\x80\"}",
      R"("text")",
      "",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const nlohmann::json expected = keptOfWholeParse(text);
    TempDir dir;
    writeFile(dir / "f.json", text);
    auto read = readJsonObject(dir / "f.json");
    if (expected.is_discarded()) {
      ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
      EXPECT_EQ(std::get<ReadFailure>(read).kind, ReadFailure::Kind::unparsable);
    } else {
      ASSERT_TRUE(std::holds_alternative<nlohmann::json>(read));
      EXPECT_EQ(std::get<nlohmann::json>(read), expected.is_array() ? nlohmann::json::object() : expected);
    }
  }
}

// JSON has no place for a NUL byte outside a string, and none unescaped inside one: a text
// holding one is refused wherever it stands, also where it would end a valid text.
TEST(JsonFileTest, ANulByteAnywhereIsRefused) {
  using namespace std::string_literals;
  const std::string cases[] = {
      "{}\0"s,
      "{\"phase\":\"installing\"}\0{\"phase\":\"error\"}"s,
      "\0{}"s,
      "[]\0\0\0"s,
      "{\"phase\":\"a\0b\"}"s,
      "{\"phase\":\0\"installing\"}"s,
      "{\"phase\":\"installing\"}"s + std::string(100 * 1024, ' ') + "\0"s,
  };
  for (std::size_t index = 0; index < std::size(cases); ++index) {
    SCOPED_TRACE("case " + std::to_string(index));
    const std::string& text = cases[index];
    TempDir dir;
    writeFile(dir / "f.json", text);
    auto read = readJsonObject(dir / "f.json");
    ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
    EXPECT_EQ(std::get<ReadFailure>(read).kind, ReadFailure::Kind::unparsable);
  }
}

// The file is parsed as it is read: what lies past the first block counts as much as what
// lies in it, and a string or a run of blanks may span blocks.
TEST(JsonFileTest, ReadsAcrossBlocksToTheVeryEnd) {
  const std::string blanks(300 * 1024, ' ');
  const std::string longText(200 * 1024, 'w');
  const struct {
    const char* name;
    std::string content;
    bool object;
  } cases[] = {
      {"blanks after the object", "{\"phase\":\"error\"}" + blanks, true},
      {"one stray byte after the blanks", "{\"phase\":\"error\"}" + blanks + "x", false},
      {"a second value after the blanks", "{\"phase\":\"error\"}" + blanks + "{}", false},
      {"a string over several blocks", "{\"message\":\"" + longText + "\",\"phase\":\"error\"}", true},
      {"cut off after several blocks", "{\"message\":\"" + longText, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir / "f.json", c.content);
    auto read = readJsonObject(dir / "f.json");
    ASSERT_EQ(std::holds_alternative<nlohmann::json>(read), c.object);
    if (c.object) {
      EXPECT_EQ(std::get<nlohmann::json>(read).at("phase"), "error");
    }
  }
}

// A sparse file says it holds a terabyte; holding it whole is out of the question. It is a
// file of zeros, refused at its first byte; and one that begins as JSON is refused where the
// zeros begin, after one block of reading.
TEST(JsonFileTest, ATerabyteSparseFileIsRefusedAtItsFirstInvalidByte) {
  constexpr off_t terabyte = off_t{1} << 40;
  for (const std::string& prefix : {std::string(), std::string(R"({"phase":"installing","message":")")}) {
    SCOPED_TRACE(prefix);
    TempDir dir;
    writeFile(dir / "f.json", prefix);
    ASSERT_EQ(::truncate((dir / "f.json").c_str(), terabyte), 0) << "cannot make a sparse file here";
    auto read = readJsonObject(dir / "f.json");
    ASSERT_TRUE(std::holds_alternative<ReadFailure>(read));
    EXPECT_EQ(std::get<ReadFailure>(read).kind, ReadFailure::Kind::unparsable);
  }
}

}  // namespace
}  // namespace orvandale::exchange
