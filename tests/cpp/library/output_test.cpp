#include "library/output.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace varsift::library {
namespace {

// A file that is removed when the test ends.
class ScratchFile {
 public:
  ScratchFile() : fd_(::mkstemp(path_.data())) {}
  ~ScratchFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  int fd() const noexcept { return fd_; }
  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_ = ::testing::TempDir() + "output_test.XXXXXX";
  int fd_;
};

std::string record(const char* chrom, int pos) {
  return std::string(chrom) + "\t" + std::to_string(pos) +
         "\t.\tA\tC\t50\tPASS\tNOTE=" + std::string(40, 'x');
}

// Records out of order are refused once the blocks holding them are written, long before the
// output ends.
TEST(IndexedOutput, RefusesUnsortedRecordsWhileWriting) {
  const ScratchFile file;
  Output output(file.fd(), true, 1, hts::Index::Format::tbi);
  output.header("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO", true);
  // Past the first block, whose address is known from the start.
  for (int pos = 1; pos <= 2000; ++pos) output.data(record("chr1", pos), true);
  output.data(record("chr1", 3), true);
  int written = 0;
  try {
    for (; written < 1'000'000; ++written) output.data(record("chr2", written + 1), true);
    FAIL() << "no error";
  } catch (const IndexingError& error) {
    EXPECT_STREQ(error.what(), "cannot index: records of sequence chr1 are not sorted by POS");
  }
  // One batch of blocks, about a megabyte.
  EXPECT_GT(written, 1000);
  EXPECT_LT(written, 20'000);
}

TEST(IndexedOutput, NeedsBgzf) {
  const ScratchFile file;
  EXPECT_THROW(Output(file.fd(), false, 1, hts::Index::Format::csi), IndexingError);
}

TEST(IndexedOutput, SavesOnlyOnceFinished) {
  const ScratchFile file;
  Output output(file.fd(), true, 2, hts::Index::Format::tbi);
  output.data(record("chr1", 5), true);
  EXPECT_THROW(output.save_index(file.path(), file.path() + ".tbi"), IndexingError);
  output.finish();
  output.save_index(file.path(), file.path() + ".tbi");
  EXPECT_EQ(::unlink((file.path() + ".tbi").c_str()), 0);
}

}  // namespace
}  // namespace varsift::library
