#include "core/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "core/os_error.hpp"
#include "core/parse_int_error.hpp"

namespace varsift::core {
namespace {

struct Case {
  const char* name;
  IoError error;
  const char* debug;
  const char* display;
};

class IoErrorFormTest : public ::testing::TestWithParam<Case> {};

TEST_P(IoErrorFormTest, Renders) {
  EXPECT_EQ(GetParam().error.debug(), GetParam().debug);
  EXPECT_EQ(GetParam().error.display(), GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, IoErrorFormTest,
    ::testing::Values(
        Case{"not_found", IoError::os(ENOENT),
             "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }",
             "No such file or directory (os error 2)"},
        Case{"is_a_directory", IoError::os(EISDIR),
             "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }",
             "Is a directory (os error 21)"},
        Case{"no_space", IoError::os(ENOSPC),
             "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }",
             "No space left on device (os error 28)"},
        Case{"negative_code", IoError::os(-3),
             "Os { code: -3, kind: Uncategorized, message: \"Unknown error -3\" }",
             "Unknown error -3 (os error -3)"},
        Case{"fixed", IoError::fixed(ErrorKind::InvalidData, "stream did not contain valid UTF-8"),
             "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }",
             "stream did not contain valid UTF-8"},
        Case{"fixed_escaped", IoError::fixed(ErrorKind::Other, "say \"hi\"\n"),
             "Error { kind: Other, message: \"say \\\"hi\\\"\\n\" }", "say \"hi\"\n"},
        Case{"bare", IoError::bare(ErrorKind::UnexpectedEof), "Kind(UnexpectedEof)",
             "unexpected end of file"},
        Case{"wrapped", IoError::wrapped(ErrorKind::Other, "ParseIntError { kind: Zero }", "zero"),
             "Custom { kind: Other, error: ParseIntError { kind: Zero } }", "zero"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(IoError, KindFollowsTheCode) {
  EXPECT_EQ(IoError::os(EACCES).kind(), ErrorKind::PermissionDenied);
  EXPECT_EQ(IoError::os(EINTR).kind(), ErrorKind::Interrupted);
  EXPECT_EQ(IoError::fixed(ErrorKind::InvalidInput, "x").kind(), ErrorKind::InvalidInput);
}

TEST(ParseIntError, DebugForms) {
  EXPECT_EQ(ParseIntError{IntErrorKind::Empty}.debug(), "ParseIntError { kind: Empty }");
  EXPECT_EQ(ParseIntError{IntErrorKind::InvalidDigit}.debug(),
            "ParseIntError { kind: InvalidDigit }");
  EXPECT_EQ(ParseIntError{IntErrorKind::PosOverflow}.debug(),
            "ParseIntError { kind: PosOverflow }");
  EXPECT_EQ(ParseIntError{IntErrorKind::NegOverflow}.debug(),
            "ParseIntError { kind: NegOverflow }");
  EXPECT_EQ(ParseIntError{IntErrorKind::Zero}.debug(), "ParseIntError { kind: Zero }");
}

struct TrimCase {
  const char* text;
  const char* trimmed;
};

class TrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, RemovesTrailingWhiteSpaceOnly) {
  EXPECT_EQ(trim_trailing_white_space(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TrimTest,
    ::testing::Values(TrimCase{"", ""}, TrimCase{"  ", ""},
                      TrimCase{"Access denied.\r\n", "Access denied."},
                      TrimCase{" inner  space\tkept\n\t\v\f ", " inner  space\tkept"},
                      TrimCase{"line\r\nbreak kept\r\n", "line\r\nbreak kept"},
                      TrimCase{"nbsp\xC2\xA0\xC2\x85", "nbsp"},
                      TrimCase{"ideographic\xE3\x80\x80\xE2\x80\xA8\xE2\x80\xAF", "ideographic"},
                      TrimCase{"zero width\xE2\x80\x8B", "zero width\xE2\x80\x8B"},
                      TrimCase{"\xC3\xA9", "\xC3\xA9"}, TrimCase{"x\xE1\x9A\x80", "x"}));

}  // namespace
}  // namespace varsift::core
