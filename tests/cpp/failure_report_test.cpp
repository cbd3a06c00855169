#include "core/failure_report.hpp"

#include <gtest/gtest.h>

#include <string>

#include "child_process.hpp"
#include "core/failure.hpp"

namespace varsift::core {
namespace {

using testing::ChildResult;
using testing::run_in_child;

TEST(BacktraceStyle, FromTheSwitch) {
  EXPECT_EQ(backtrace_style_from(std::nullopt), BacktraceStyle::off);
  EXPECT_EQ(backtrace_style_from("0"), BacktraceStyle::off);
  EXPECT_EQ(backtrace_style_from("full"), BacktraceStyle::full);
  for (const char* value : {"1", "", "FULL", "Full", "00", " 0", "short", "yes"}) {
    EXPECT_EQ(backtrace_style_from(value), BacktraceStyle::short_) << value;
  }
}

constexpr FailureSite site{"src\\lib", 29, 37};
const std::string thread_and_message =
    "thread '<unnamed>' panicked at src\\lib:29:37:\ncalled `Option::unwrap()` on a `None` value\n";
const std::string note =
    "note: run with `VARSIFT_BACKTRACE=1` environment variable to display a backtrace\n";

// Raises `count` failures in one child process and gives what it wrote to standard error.
ChildResult raise_failures(int count, std::optional<std::string> backtrace,
                           bool change_switch_between = false) {
  return run_in_child(
      [&] {
        for (int i = 0; i < count; ++i) {
          try {
            raise_failure(site);
          } catch (const Failure&) {
            if (change_switch_between) setenv("VARSIFT_BACKTRACE", "full", 1);
          }
        }
        return std::string();
      },
      {{"VARSIFT_BACKTRACE", backtrace}});
}

TEST(FailureReport, FirstReportOfTheProcessCarriesTheNoteOnly) {
  EXPECT_EQ(raise_failures(1, std::nullopt).stderr_bytes, thread_and_message + note);
  EXPECT_EQ(raise_failures(2, std::nullopt).stderr_bytes,
            thread_and_message + note + thread_and_message);
  EXPECT_EQ(raise_failures(2, "0").stderr_bytes, thread_and_message + note + thread_and_message);
}

TEST(FailureReport, SwitchIsReadOnceAtTheFirstReport) {
  EXPECT_EQ(raise_failures(2, std::nullopt, true).stderr_bytes,
            thread_and_message + note + thread_and_message);
}

TEST(FailureReport, BacktraceStylesWriteABacktraceAndNeverTheNote) {
  for (const char* value : {"1", "", "full"}) {
    const std::string written = raise_failures(2, value).stderr_bytes;
    EXPECT_TRUE(written.starts_with(thread_and_message + "stack backtrace:\n")) << value;
    EXPECT_EQ(written.find("note: run with"), std::string::npos) << value;
    EXPECT_NE(written.find(thread_and_message, 1), std::string::npos) << value;
    EXPECT_NE(written.find("   0: "), std::string::npos) << value;
  }
}

TEST(FailureReport, FailureRaisedWhileAnotherTravelsGetsTheFullStyle) {
  const ChildResult child = run_in_child(
      [] {
        try {
          const Failure travelling("first");
          raise_failure_message(FailureSite{"x.cpp", 1, 2}, "second");
        } catch (const Failure&) {
        }
        // Nothing travels any more, and the full report did not use up the note.
        try {
          raise_failure(site);
        } catch (const Failure&) {
        }
        return std::string();
      },
      {{"VARSIFT_BACKTRACE", std::nullopt}});
  const std::string nested =
      "thread '<unnamed>' panicked at x.cpp:1:2:\nsecond\nstack backtrace:\n";
  ASSERT_TRUE(child.stderr_bytes.starts_with(nested)) << child.stderr_bytes;
  EXPECT_TRUE(child.stderr_bytes.ends_with("\n" + thread_and_message + note)) << child.stderr_bytes;
}

TEST(FailureReport, SkippedReportWritesNothing) {
  const ChildResult child = run_in_child([] {
    raise_failure_message(site, "resumed", Report::skip);
    return std::string();
  });
  EXPECT_EQ(child.output, "failure: resumed");
  EXPECT_EQ(child.stderr_bytes, "");
}

TEST(FailureReport, MessagesOfTheErrorValues) {
  const ChildResult child = run_in_child([] {
    raise_failure(FailureSite{"src\\lib", 29, 61}, ParseIntError{IntErrorKind::PosOverflow});
    return std::string();
  });
  EXPECT_EQ(child.output,
            "failure: called `Result::unwrap()` on an `Err` value: ParseIntError { kind: "
            "PosOverflow }");
  EXPECT_TRUE(child.stderr_bytes.starts_with("thread '<unnamed>' panicked at src\\lib:29:61:\n"));
}

TEST(FailureReport, ClosedStandardErrorLosesTheReportSilently) {
  const ChildResult child = run_in_child([] {
    close(2);
    raise_failure(site);
    return std::string();
  });
  EXPECT_EQ(child.output, "failure: called `Option::unwrap()` on a `None` value");
  EXPECT_EQ(child.exit_code, 0);
}

}  // namespace
}  // namespace varsift::core
