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

TEST(JsonFileTest, ReadsEveryByteOfARegularFile) {
  TempDir dir;
  const std::string bytes("{\"a\":\"\0\xff\"}\n", 11);
  writeFile(dir / "f", bytes);
  auto read = readRegularFile(dir / "f");
  ASSERT_TRUE(std::holds_alternative<std::string>(read));
  EXPECT_EQ(std::get<std::string>(read), bytes);
}

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

  auto read = readRegularFile(fifo);
  ASSERT_TRUE(std::holds_alternative<std::error_code>(read));
  EXPECT_EQ(std::get<std::error_code>(read).value(), EINVAL);
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

}  // namespace
}  // namespace orvandale::exchange
