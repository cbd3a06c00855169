#include "core/line_reader.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "child_process.hpp"
#include "core/file_source.hpp"
#include "core/interrupt.hpp"
#include "core/system_calls.hpp"

namespace varsift::core {
namespace {

using testing::TempFile;

// What reading `bytes` gives: the lines, then "<end>" or "<error: debug form>".
std::vector<std::string> read_lines(LineReader& reader) {
  std::vector<std::string> lines;
  for (;;) {
    switch (reader.next()) {
      case LineReader::Status::line:
        lines.emplace_back(reader.line());
        break;
      case LineReader::Status::end:
        lines.emplace_back("<end>");
        return lines;
      case LineReader::Status::error:
        lines.push_back("<error: " + reader.error().debug() + ">");
        return lines;
    }
  }
}

std::vector<std::string> read_file(std::string_view bytes) {
  const TempFile file(bytes);
  FileSource source(std::get<File>(File::open(file.path())));
  LineReader reader(source);
  return read_lines(reader);
}

struct Case {
  const char* name;
  std::string bytes;
  std::vector<std::string> lines;
};

class LineEndingTest : public ::testing::TestWithParam<Case> {};

TEST_P(LineEndingTest, SplitsLines) { EXPECT_EQ(read_file(GetParam().bytes), GetParam().lines); }

const std::string invalid_utf8 =
    "<error: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }>";

INSTANTIATE_TEST_SUITE_P(
    Files, LineEndingTest,
    ::testing::Values(
        Case{"empty_file", "", {"<end>"}}, Case{"one_line_feed", "\n", {"", "<end>"}},
        Case{"two_line_feeds", "\n\n", {"", "", "<end>"}},
        Case{"last_line_without_feed", "a\nb", {"a", "b", "<end>"}},
        Case{"carriage_return_kept_at_end_of_file", "a\r", {"a\r", "<end>"}},
        Case{"crlf", "a\r\nb\r\n", {"a", "b", "<end>"}},
        Case{"two_carriage_returns", "a\r\r\n", {"a\r", "<end>"}},
        Case{"inner_carriage_return", "a\rb\n", {"a\rb", "<end>"}},
        Case{"carriage_returns_alone", "a\rb\rc\r", {"a\rb\rc\r", "<end>"}},
        Case{"nul_inside", std::string("a\0b\n", 4), {std::string("a\0b", 3), "<end>"}},
        Case{"utf8_kept",
             "caf\xC3\xA9\t\xF0\x9F\xA7\xAC\n",
             {"caf\xC3\xA9\t\xF0\x9F\xA7\xAC", "<end>"}},
        Case{"bom_kept", "\xEF\xBB\xBF##x\n", {"\xEF\xBB\xBF##x", "<end>"}},
        Case{"invalid_in_second_line", "#ok\n#caf\xE9\n", {"#ok", invalid_utf8}},
        Case{"utf16_with_bom", std::string("\xFF\xFE#\0\n\0", 6), {invalid_utf8}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(LineReader, LongLinesComeBackWhole) {
  for (const std::size_t length :
       {FileSource::buffer_size - 1, FileSource::buffer_size, FileSource::buffer_size + 1,
        std::size_t{20000}, 3 * FileSource::buffer_size + 17}) {
    std::string line;
    for (std::size_t i = 0; i < length; ++i) line += static_cast<char>('a' + i % 26);
    EXPECT_EQ(read_file(line + "\nx\n" + line),
              (std::vector<std::string>{line, "x", line, "<end>"}))
        << length;
  }
}

TEST(LineReader, CharactersSplitAcrossRefills) {
  // The euro sign's three bytes straddle the end of the first buffer, at every offset.
  for (std::size_t before = FileSource::buffer_size - 3; before <= FileSource::buffer_size;
       ++before) {
    const std::string line = std::string(before, 'x') + "\xE2\x82\xAC" + "y";
    EXPECT_EQ(read_file(line + "\n"), (std::vector<std::string>{line, "<end>"})) << before;
  }
}

TEST(LineReader, CheckCoversLinesThatSpanRefillsAndAsciiBuffers) {
  const std::string ascii_line(100, 'a');
  std::string bytes;
  while (bytes.size() < FileSource::buffer_size - 2) bytes += ascii_line + "\n";
  bytes.resize(FileSource::buffer_size - 2);
  // The cut-off sequence spans the first refill, whose bytes are otherwise ASCII.
  const std::vector<std::string> lines = read_file(bytes + "\xE2\x82y\n" + ascii_line + "\n");
  EXPECT_EQ(lines.back(), invalid_utf8);
  EXPECT_EQ(read_file(ascii_line + "\n\xC3\n" + ascii_line + "\n"),
            (std::vector<std::string>{ascii_line, invalid_utf8}));
}

// Reads scripted by a test: each entry gives bytes or an errno.
struct ScriptedReads {
  static inline std::deque<std::variant<std::string, int>> script;
  static inline std::vector<std::size_t> requested;
  static inline int closes = 0;

  static ssize_t read(int, void* buffer, std::size_t count) {
    requested.push_back(count);
    if (script.empty()) return 0;
    auto next = std::move(script.front());
    script.pop_front();
    if (const int* error = std::get_if<int>(&next)) {
      errno = *error;
      return -1;
    }
    const std::string& bytes = std::get<std::string>(next);
    EXPECT_LE(bytes.size(), count);
    std::copy(bytes.begin(), bytes.end(), static_cast<char*>(buffer));
    return static_cast<ssize_t>(bytes.size());
  }

  ScriptedReads(std::initializer_list<std::variant<std::string, int>> entries) {
    script = entries;
    requested.clear();
    closes = 0;
  }
  ~ScriptedReads() { script.clear(); }

  const SystemCalls calls{[](const char*, int) { return 1000; }, &ScriptedReads::read,
                          [](int) {
                            ++closes;
                            return 0;
                          }};
  ScopedSystemCalls scope{calls};
};

std::vector<std::string> read_scripted() {
  FileSource source(std::get<File>(File::open("scripted")));
  LineReader reader(source);
  return read_lines(reader);
}

// Counts its checks and throws at the check numbered `throw_at` (counting from 1), if any.
struct CountingInterruption final : Interruption {
  explicit CountingInterruption(int throw_at_check = 0) : throw_at(throw_at_check) {}
  void check() override {
    if (++checks == throw_at) throw std::runtime_error("stop");
  }
  int throw_at;
  int checks = 0;
};

TEST(LineReader, KnowsALineIsAsciiOnlyWithinOneAsciiPiece) {
  ScriptedReads reads{"ab\ncd", "ef\n", "\xC3\xA9\nxy\n"};
  FileSource source(std::get<File>(File::open("scripted")));
  LineReader reader(source);
  std::vector<std::pair<std::string, bool>> lines;
  while (reader.next() == LineReader::Status::line) {
    lines.emplace_back(reader.line(), reader.line_is_ascii());
  }
  EXPECT_EQ(lines, (std::vector<std::pair<std::string, bool>>{
                       {"ab", true}, {"cdef", false}, {"\xC3\xA9", false}, {"xy", false}}));
}

TEST(LineReader, ChecksTheInterruptionAtEachInterruptedReadAndRetries) {
  ScriptedReads reads{"ab", EINTR, EINTR, "c\n"};
  CountingInterruption interruption;
  FileSource source(std::get<File>(File::open("scripted")), &interruption);
  LineReader reader(source);
  EXPECT_EQ(read_lines(reader), (std::vector<std::string>{"abc", "<end>"}));
  EXPECT_EQ(interruption.checks, 2);
}

TEST(LineReader, AnInterruptionThatThrowsEndsTheReadAndClosesTheFile) {
  {
    ScriptedReads reads{"ab", EINTR, "c\n"};
    CountingInterruption interruption(1);
    FileSource source(std::get<File>(File::open("scripted")), &interruption);
    LineReader reader(source);
    EXPECT_THROW(reader.next(), std::runtime_error);
  }
  EXPECT_EQ(ScriptedReads::closes, 1);
}

TEST(LineReader, ChecksTheInterruptionEveryFewMegabytes) {
  const std::string piece(FileSource::buffer_size - 1, 'x');
  ScriptedReads reads{};
  const std::size_t pieces = 2 * Interruption::check_interval / FileSource::buffer_size + 2;
  for (std::size_t i = 0; i < pieces; ++i) ScriptedReads::script.emplace_back(piece + "\n");
  CountingInterruption interruption;
  FileSource source(std::get<File>(File::open("scripted")), &interruption);
  LineReader reader(source);
  while (reader.next() == LineReader::Status::line) {
  }
  EXPECT_EQ(interruption.checks, 2);
}

TEST(File, AnInterruptedOpenFailsOnceTheInterruptionIsChecked) {
  // Every open is interrupted but the third, which gives descriptor 1000.
  static int opens = 0;
  opens = 0;
  const SystemCalls calls{[](const char*, int) {
                            if (++opens == 3) return 1000;
                            errno = EINTR;
                            return -1;
                          },
                          system_calls().read, [](int) { return 0; }};
  const ScopedSystemCalls scope(calls);
  const auto interrupted = [](const OpenResult& result) {
    const auto* error = std::get_if<IoError>(&result);
    return error != nullptr && error->kind() == ErrorKind::Interrupted;
  };
  // With nothing to ask, the open is retried.
  const OpenResult retried = File::open("fifo");
  ASSERT_TRUE(std::holds_alternative<File>(retried));
  EXPECT_EQ(std::get<File>(retried).descriptor(), 1000);
  EXPECT_EQ(opens, 3);
  CountingInterruption goes_on;
  EXPECT_TRUE(interrupted(File::open("fifo", &goes_on)));
  EXPECT_EQ(goes_on.checks, 1);
  CountingInterruption stops(1);
  EXPECT_THROW(static_cast<void>(File::open("fifo", &stops)), std::runtime_error);
  EXPECT_EQ(opens, 5);
}

TEST(LineReader, RetriesInterruptedReadsKeepingCollectedBytes) {
  ScriptedReads reads{"ab", EINTR, EINTR, "c\nd", EINTR, "\n"};
  EXPECT_EQ(read_scripted(), (std::vector<std::string>{"abc", "d", "<end>"}));
}

TEST(LineReader, BrokenPipeEndsInput) {
  ScriptedReads reads{"a\nb", EPIPE, "c\n", EPIPE, "never read\n"};
  EXPECT_EQ(read_scripted(), (std::vector<std::string>{"a", "b", "c", "<end>"}));
}

TEST(LineReader, ReadErrorDiscardsTheLineAndCloses) {
  {
    ScriptedReads reads{"a\npartial", EIO};
    EXPECT_EQ(
        read_scripted(),
        (std::vector<std::string>{
            "a", "<error: Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }>"}));
    EXPECT_EQ(ScriptedReads::closes, 1);
  }
}

TEST(LineReader, ReadsAtMostABufferAndOnlyWhenItIsUsedUp) {
  ScriptedReads reads{"a\nb\n", "c\n"};
  FileSource source(std::get<File>(File::open("scripted")));
  LineReader reader(source);
  ASSERT_EQ(reader.next(), LineReader::Status::line);
  ASSERT_EQ(reader.next(), LineReader::Status::line);
  // The line that ends exactly at the end of the buffered bytes needs no further read.
  EXPECT_EQ(ScriptedReads::requested.size(), 1U);
  EXPECT_EQ(reader.line(), "b");
  ASSERT_EQ(reader.next(), LineReader::Status::line);
  EXPECT_EQ(ScriptedReads::requested,
            (std::vector<std::size_t>{FileSource::buffer_size, FileSource::buffer_size}));
}

TEST(LineReader, TakeLineOwnsTheLineFromEitherSource) {
  ScriptedReads reads{"short\nspl", "it\r\nlast"};
  FileSource source(std::get<File>(File::open("scripted")));
  LineReader reader(source);
  std::vector<Line> taken;
  while (reader.next() == LineReader::Status::line) taken.push_back(reader.take_line());
  EXPECT_EQ(taken, (std::vector<Line>{"short", "split", "last"}));
}

}  // namespace
}  // namespace varsift::core
