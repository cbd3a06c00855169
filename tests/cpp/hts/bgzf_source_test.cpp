#include "hts/bgzf_source.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "child_process.hpp"
#include "command.hpp"
#include "core/line_reader.hpp"
#include "hts/bgzf_writer.hpp"

namespace varsift::hts {
namespace {

using testing::bgzf_blocks;
using testing::compress_with;
using testing::TempFile;

// Header, many short records, a record longer than a BGZF block, CRLF endings, non-ASCII
// text, and a last line without its line feed.
std::string sample_text() {
  std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
  for (int i = 0; i < 6000; ++i) {
    text += "chr1\t" + std::to_string(1000 + i * 7) +
            "\t.\tA\tG\t50\tPASS\tDP=" + std::to_string(i % 97) + "\n";
  }
  text += "chr1\t99999\t.\tA\tG\t.\t.\tLONG=" + std::string(150000, 'X') + "\n";
  for (int i = 0; i < 100; ++i) text += "chr2\t" + std::to_string(i + 1) + "\t.\tC\tT\t.\t.\t.\r\n";
  text += "chr3\t1\t.\tA\tC\t.\t.\tNOTE=caf\xc3\xa9\nchr3\t2\t.\tA\tC\t.\t.\tEND";
  return text;
}

const std::string& text() {
  static const std::string value = sample_text();
  return value;
}

std::vector<std::string> lines_of(std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    if (line.ends_with('\r') && end != std::string_view::npos) line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

struct Read {
  std::vector<std::string> lines;
  bool failed = false;
  std::string error;  // display form
  core::ErrorKind kind = core::ErrorKind::Other;
  bool damaged = false;
};

Read read_all(BgzfSource& source) {
  core::LineReader reader(source);
  Read read;
  for (;;) {
    switch (reader.next()) {
      case core::LineReader::Status::line:
        read.lines.emplace_back(reader.line());
        continue;
      case core::LineReader::Status::end:
        return read;
      case core::LineReader::Status::error:
        read.failed = true;
        read.error = reader.error().display();
        read.kind = reader.error().kind();
        read.damaged = source.damaged();
        return read;
    }
  }
}

BgzfSource open_path(const std::string& path, int threads) {
  SourceResult opened = BgzfSource::open(path, threads);
  if (auto* error = std::get_if<core::IoError>(&opened)) {
    ADD_FAILURE() << "open failed: " << error->display();
  }
  return std::get<BgzfSource>(std::move(opened));
}

// Reads `bytes` from a file, or from a pipe fed by another thread.
Read read_bytes(const std::string& bytes, int threads, bool through_pipe) {
  if (!through_pipe) {
    const TempFile file(bytes);
    BgzfSource source = open_path(file.path(), threads);
    return read_all(source);
  }
  int ends[2];
  if (pipe(ends) != 0) throw std::runtime_error("pipe failed");
  std::thread feeder([&bytes, fd = ends[1]] {
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const ssize_t n = write(fd, rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    close(fd);
  });
  SourceResult opened = BgzfSource::from_descriptor(ends[0], threads);
  close(ends[0]);
  Read read;
  if (auto* source = std::get_if<BgzfSource>(&opened)) {
    read = read_all(*source);
    // Let the feeder finish even if reading stopped early.
    opened = core::IoError::os(0);
  } else {
    read.failed = true;
    read.error = std::get<core::IoError>(opened).display();
  }
  feeder.join();
  return read;
}

std::string split_and_compress(const std::vector<std::string>& tool, std::size_t pieces) {
  std::string out;
  const std::size_t step = text().size() / pieces + 1;
  for (std::size_t at = 0; at < text().size(); at += step) {
    out += compress_with(tool, std::string_view(text()).substr(at, step));
  }
  return out;
}

std::string written_by_us(int threads) {
  const TempFile file("");
  {
    const int fd = ::open(file.path().c_str(), O_WRONLY | O_TRUNC);
    WriterResult opened = OutputWriter::open(fd, {OutputFormat::bgzf, 6, threads});
    auto& writer = std::get<OutputWriter>(opened);
    core::IoError error = core::IoError::os(0);
    for (std::size_t at = 0; at < text().size(); at += 1000) {
      EXPECT_TRUE(writer.write(std::string_view(text()).substr(at, 1000), error));
    }
    EXPECT_TRUE(writer.finish(error));
    ::close(fd);
  }
  return testing::run_command({"cat", file.path()}, "").output;
}

struct InputForm {
  const char* name;
  std::function<std::string()> make;
  Compression compression;
};

const std::vector<InputForm>& input_forms() {
  static const std::vector<InputForm> forms = {
      {"plain", [] { return text(); }, Compression::plain},
      {"gzip",
       [] {
         return compress_with({"gzip", "-c"}, text());
       },
       Compression::gzip},
      {"gzip_two_members",
       [] {
         return split_and_compress({"gzip", "-c"}, 2);
       },
       Compression::gzip},
      {"gzip_many_members",
       [] {
         return split_and_compress({"gzip", "-1", "-c"}, 37);
       },
       Compression::gzip},
      {"bgzip",
       [] {
         return compress_with({"bgzip", "-c"}, text());
       },
       Compression::bgzf},
      // Each part ends in an end-of-file marker: empty blocks in the middle.
      {"bgzip_concatenated",
       [] {
         return split_and_compress({"bgzip", "-c"}, 3);
       },
       Compression::bgzf},
      {"bgzf_written_by_us", [] { return written_by_us(2); }, Compression::bgzf},
  };
  return forms;
}

class InputFormTest : public ::testing::TestWithParam<std::tuple<std::size_t, int, bool>> {};

TEST_P(InputFormTest, ReadsTheSameLinesAsThePlainText) {
  const auto [form_index, threads, through_pipe] = GetParam();
  const InputForm& form = input_forms()[form_index];
  const std::string bytes = form.make();
  const Read read = read_bytes(bytes, threads, through_pipe);
  EXPECT_FALSE(read.failed) << read.error;
  EXPECT_TRUE(read.lines == lines_of(text())) << read.lines.size() << " lines";
}

INSTANTIATE_TEST_SUITE_P(AllForms, InputFormTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 7),
                                            ::testing::Values(0, 1, 2), ::testing::Bool()),
                         [](const auto& test) {
                           return std::string(input_forms()[std::get<0>(test.param)].name) +
                                  "_threads" + std::to_string(std::get<1>(test.param)) +
                                  (std::get<2>(test.param) ? "_pipe" : "_file");
                         });

TEST(BgzfSourceTest, TellsTheCompressionApart) {
  for (const InputForm& form : input_forms()) {
    const TempFile file(form.make());
    BgzfSource source = open_path(file.path(), 0);
    EXPECT_EQ(source.compression(), form.compression) << form.name;
  }
}

TEST(BgzfSourceTest, CountsTheBytesReadAsStoredUpToTheFileSize) {
  for (const InputForm& form : input_forms()) {
    const std::string bytes = form.make();
    const TempFile file(bytes);
    BgzfSource source = open_path(file.path(), 2);
    std::uint64_t last = 0;
    core::LineReader reader(source);
    while (reader.next() == core::LineReader::Status::line) {
      EXPECT_GE(source.stored_bytes(), last) << form.name;
      last = source.stored_bytes();
    }
    // A stream counts what it read; BGZF names the block handed out last.
    EXPECT_LE(last, bytes.size()) << form.name;
    EXPECT_LT(bytes.size() - last, form.compression == Compression::bgzf ? 65536U + 28U : 1U)
        << form.name;
  }
}

TEST(BgzfSourceTest, EmptyFileHasNoLines) {
  for (const bool through_pipe : {false, true}) {
    const Read read = read_bytes("", 0, through_pipe);
    EXPECT_FALSE(read.failed);
    EXPECT_TRUE(read.lines.empty());
  }
}

// A damaged copy of a compressed form of the text.
struct Damage {
  const char* name;
  std::function<std::string()> make;
  // The error's display form; a cut header can also read as a bad one.
  std::vector<std::string> messages;
  // Whether the lines before the error are intact: a gzip member is checked only at its end.
  bool intact_before = true;
};

std::string bgzip_text() { return compress_with({"bgzip", "-c"}, text()); }
std::string gzip_text() { return compress_with({"gzip", "-c"}, text()); }

std::string flip_byte(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
  return bytes;
}

std::string in_second_block(std::size_t from_end) {
  const std::string bytes = bgzip_text();
  const auto blocks = bgzf_blocks(bytes);
  return flip_byte(bytes, blocks[1].offset + blocks[1].size - from_end);
}

constexpr const char* truncated = "compressed file truncated (ends inside a block or gzip member)";
constexpr const char* no_marker = "BGZF end-of-file marker missing (file truncated?)";
constexpr const char* bad_header = "invalid BGZF block header (corrupt data or trailing garbage)";
constexpr const char* corrupt_block = "corrupt BGZF block (inflating or its CRC32 check failed)";

const std::vector<Damage>& damages() {
  static const std::vector<Damage> list = {
      {"bgzf_cut_in_block",
       [] {
         const std::string bytes = bgzip_text();
         const auto blocks = bgzf_blocks(bytes);
         return bytes.substr(0, blocks[1].offset + blocks[1].size / 2);
       },
       {truncated}},
      {"bgzf_cut_in_block_header",
       [] {
         const std::string bytes = bgzip_text();
         return bytes.substr(0, bgzf_blocks(bytes)[2].offset + 10);
       },
       {truncated, bad_header}},
      {"bgzf_cut_between_blocks",
       [] {
         const std::string bytes = bgzip_text();
         return bytes.substr(0, bgzf_blocks(bytes)[2].offset);
       },
       {no_marker}},
      {"bgzf_marker_missing",
       [] {
         const std::string bytes = bgzip_text();
         return bytes.substr(0, bgzf_blocks(bytes).back().offset);
       },
       {no_marker}},
      {"bgzf_bad_crc", [] { return in_second_block(8); }, {corrupt_block}},
      // The data and its CRC32 are intact: only a second read of the block sees the field.
      {"bgzf_bad_isize",
       [] { return in_second_block(4); },
       {"BGZF block ISIZE does not match its inflated length"},
       false},
      {"bgzf_bad_deflate",
       [] {
         const std::string bytes = bgzip_text();
         return flip_byte(bytes, bgzf_blocks(bytes)[1].offset + 18 + 200);
       },
       {corrupt_block}},
      {"bgzf_trailing_garbage", [] { return bgzip_text() + "garbage\n"; }, {bad_header}},
      {"bgzf_trailing_zeros", [] { return bgzip_text() + std::string(10, '\0'); }, {bad_header}},
      {"gzip_cut",
       [] {
         const std::string bytes = gzip_text();
         return bytes.substr(0, bytes.size() / 2);
       },
       {truncated}},
      {"gzip_cut_in_trailer",
       [] {
         const std::string bytes = gzip_text();
         return bytes.substr(0, bytes.size() - 3);
       },
       {truncated}},
      {"gzip_second_member_cut",
       [] {
         const std::string bytes = split_and_compress({"gzip", "-c"}, 2);
         return bytes.substr(0, bytes.size() - 100);
       },
       {truncated}},
      {"gzip_bad_crc",
       [] {
         const std::string bytes = gzip_text();
         return flip_byte(bytes, bytes.size() - 8);
       },
       {"gzip member CRC32 mismatch (corrupt data)"}},
      {"gzip_bad_isize",
       [] {
         const std::string bytes = gzip_text();
         return flip_byte(bytes, bytes.size() - 4);
       },
       {"gzip member ISIZE mismatch (corrupt data)"}},
      {"gzip_bad_deflate",
       [] { return flip_byte(gzip_text(), 1000); },
       {"corrupt deflate data", "gzip member CRC32 mismatch (corrupt data)"},
       false},
      {"gzip_trailing_garbage",
       [] { return gzip_text() + "garbage\n"; },
       {"trailing garbage after the last gzip member"}},
      {"gzip_trailing_zeros",
       [] { return gzip_text() + std::string(10, '\0'); },
       {"trailing garbage after the last gzip member"}},
  };
  return list;
}

class DamageTest : public ::testing::TestWithParam<std::tuple<std::size_t, int, bool>> {};

TEST_P(DamageTest, IsAnErrorNeverAShortRead) {
  const auto [damage_index, threads, through_pipe] = GetParam();
  const Damage& damage = damages()[damage_index];
  const Read read = read_bytes(damage.make(), threads, through_pipe);
  ASSERT_TRUE(read.failed);
  EXPECT_TRUE(std::find(damage.messages.begin(), damage.messages.end(), read.error) !=
              damage.messages.end())
      << read.error;
  EXPECT_EQ(read.kind, core::ErrorKind::InvalidData);
  EXPECT_TRUE(read.damaged);
  if (!damage.intact_before) return;
  // Whatever came before the damage is the text's own.
  const std::vector<std::string> expected = lines_of(text());
  ASSERT_LE(read.lines.size(), expected.size());
  EXPECT_TRUE(std::equal(read.lines.begin(), read.lines.end(), expected.begin()));
}

INSTANTIATE_TEST_SUITE_P(AllDamage, DamageTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 17),
                                            ::testing::Values(0, 2), ::testing::Bool()),
                         [](const auto& test) {
                           return std::string(damages()[std::get<0>(test.param)].name) +
                                  "_threads" + std::to_string(std::get<1>(test.param)) +
                                  (std::get<2>(test.param) ? "_pipe" : "_file");
                         });

TEST(BgzfSourceTest, DamageStaysReportedOnLaterCalls) {
  const TempFile file(in_second_block(8));
  BgzfSource source = open_path(file.path(), 0);
  std::string_view bytes;
  core::IoError error = core::IoError::os(0);
  while (source.next_bytes(bytes, error) && !bytes.empty()) {
  }
  ASSERT_TRUE(source.damaged());
  EXPECT_FALSE(source.next_bytes(bytes, error));
  EXPECT_EQ(error.display(), corrupt_block);
}

TEST(BgzfSourceTest, SystemErrorsAreOsErrorsNotDamage) {
  const TempFile file("x");
  struct Case {
    std::string path;
    int code;
  };
  for (const Case& c : {Case{file.directory() + "/absent.vcf.gz", ENOENT},
                        Case{file.directory(), EISDIR}, Case{file.path() + "/below", ENOTDIR}}) {
    const SourceResult opened = BgzfSource::open(c.path, 0);
    ASSERT_TRUE(std::holds_alternative<core::IoError>(opened)) << c.path;
    EXPECT_EQ(std::get<core::IoError>(opened).os_code(), c.code) << c.path;
  }
}

TEST(BgzfSourceTest, InlineDataIsAFileNameAndAUrlIsFetched) {
  // htslib would read this as inline data.
  const SourceResult inline_data = BgzfSource::open("data:,chr1", 0);
  ASSERT_TRUE(std::holds_alternative<core::IoError>(inline_data));
  EXPECT_EQ(std::get<core::IoError>(inline_data).os_code(), ENOENT);
  // A port that nothing listens on, for the while the test needs it.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(probe);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x.vcf.gz";
  const SourceResult opened = BgzfSource::open(url, 0);
  ASSERT_TRUE(std::holds_alternative<core::IoError>(opened));
  EXPECT_EQ(std::get<core::IoError>(opened).os_code(), ECONNREFUSED);
}

TEST(BgzfSourceTest, ClosesEveryDescriptorItOpens) {
  const TempFile file(bgzip_text());
  const int before = testing::open_descriptor_count();
  for (const int threads : {0, 2}) {
    BgzfSource source = open_path(file.path(), threads);
    read_all(source);
  }
  (void)BgzfSource::open(file.directory(), 0);
  EXPECT_EQ(testing::open_descriptor_count(), before);
}

TEST(BgzfSourceTest, ReadsStandardInputAndLeavesItOpen) {
  const TempFile file(bgzip_text());
  const testing::ChildResult child = testing::run_in_child([&] {
    const int fd = ::open(file.path().c_str(), O_RDONLY);
    dup2(fd, STDIN_FILENO);
    close(fd);
    std::string out;
    {
      SourceResult opened = BgzfSource::open("-", 2);
      if (auto* error = std::get_if<core::IoError>(&opened)) return error->display();
      const Read read = read_all(std::get<BgzfSource>(opened));
      out = read.lines == lines_of(text()) ? "same" : "different";
    }
    out += fcntl(STDIN_FILENO, F_GETFD) != -1 ? ", open" : ", closed";
    return out;
  });
  EXPECT_EQ(child.output, "same, open");
}

// Every piece handed out, with the virtual offset before it.
std::vector<std::pair<std::int64_t, std::string>> pieces_of(BgzfSource& source) {
  std::vector<std::pair<std::int64_t, std::string>> pieces;
  core::IoError error = core::IoError::os(0);
  for (;;) {
    const std::int64_t at = source.tell();
    std::string_view bytes;
    EXPECT_TRUE(source.next_bytes(bytes, error)) << error.display();
    if (bytes.empty()) return pieces;
    pieces.emplace_back(at, bytes);
  }
}

class SeekTest : public ::testing::TestWithParam<int> {};

TEST_P(SeekTest, StartsAtTheVirtualOffset) {
  const TempFile file(split_and_compress({"bgzip", "-c"}, 3));
  BgzfSource source = open_path(file.path(), GetParam());
  const auto pieces = pieces_of(source);
  std::string whole;
  for (const auto& piece : pieces) whole += piece.second;
  ASSERT_TRUE(whole == text());
  core::IoError error = core::IoError::os(0);
  for (const std::size_t i : {std::size_t{5}, std::size_t{0}, pieces.size() - 1, std::size_t{2}}) {
    ASSERT_TRUE(source.seek(pieces[i].first, error)) << error.display();
    EXPECT_EQ(source.tell(), pieces[i].first);
    std::string_view bytes;
    ASSERT_TRUE(source.next_bytes(bytes, error));
    EXPECT_TRUE(bytes == pieces[i].second);
  }
  // Inside a block, and then reading on to the end.
  ASSERT_TRUE(source.seek(pieces[3].first, error));
  std::string_view bytes;
  ASSERT_TRUE(source.next_bytes(bytes, error));
  const std::int64_t block_start = source.tell() & ~std::int64_t{0xffff};
  ASSERT_TRUE(source.seek(block_start | 100, error)) << error.display();
  std::string rest;
  for (const auto& piece : pieces_of(source)) rest += piece.second;
  std::size_t start = 0;
  for (std::size_t i = 0; i < 3; ++i) start += pieces[i].second.size();
  EXPECT_TRUE(rest == text().substr(start + 100));
}

INSTANTIATE_TEST_SUITE_P(Threads, SeekTest, ::testing::Values(0, 2));

TEST(BgzfSourceTest, OnlyBgzfFilesSeek) {
  const TempFile gzip(gzip_text());
  BgzfSource source = open_path(gzip.path(), 0);
  core::IoError error = core::IoError::os(0);
  EXPECT_FALSE(source.seek(0, error));
  EXPECT_EQ(error.kind(), core::ErrorKind::NotSeekable);
}

TEST(BgzfSourceTest, OffsetsOutsideTheFileAreErrors) {
  const std::string bytes = bgzip_text();
  const auto blocks = bgzf_blocks(bytes);
  const TempFile file(bytes);
  const auto at = [](std::size_t address, int offset) {
    return static_cast<std::int64_t>(address) << 16 | offset;
  };
  struct Case {
    std::int64_t offset;
    const char* error;  // nullptr: the end of the file, read as such
  };
  for (const Case& c :
       {Case{at(bytes.size() + 1000, 0), "virtual offset lies past the end of the BGZF file"},
        Case{at(blocks[1].offset, 65281), "virtual offset lies past the end of its BGZF block"},
        Case{at(blocks.back().offset, 0), nullptr}}) {
    BgzfSource source = open_path(file.path(), 0);
    core::IoError error = core::IoError::os(0);
    ASSERT_TRUE(source.seek(c.offset, error)) << error.display();
    std::string_view piece;
    const bool read = source.next_bytes(piece, error);
    EXPECT_EQ(read, c.error == nullptr);
    if (c.error == nullptr) {
      EXPECT_TRUE(piece.empty());
    } else {
      EXPECT_EQ(error.display(), c.error);
      EXPECT_EQ(error.kind(), core::ErrorKind::InvalidInput);
      EXPECT_FALSE(source.damaged());
    }
  }
}

}  // namespace
}  // namespace varsift::hts
