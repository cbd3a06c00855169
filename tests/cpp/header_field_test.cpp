#include "core/header_field.hpp"

#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace varsift::core {
namespace {

struct FieldCase {
  std::string_view line;
  std::optional<std::string_view> id;
};

void PrintTo(const FieldCase& c, std::ostream* out) {
  *out << ::testing::PrintToString(std::string(c.line));
}

class StructuredFieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(StructuredFieldTest, FindsTheContigId) {
  EXPECT_EQ(structured_field(GetParam().line, "contig", "ID"), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, StructuredFieldTest,
    ::testing::Values(
        FieldCase{"##contig=<ID=c1>", "c1"}, FieldCase{"##contig=<ID=c1,length=5>", "c1"},
        FieldCase{"##contig=<length=5,ID=c1>", "c1"},
        FieldCase{R"(##contig=<species="a>b",ID=c2>)", "c2"},
        FieldCase{R"(##contig=<note="x,ID=no",ID=c3>)", "c3"},
        FieldCase{R"(##contig=<note="say \"ID=no,\" >",ID=c4>)", "c4"},
        FieldCase{R"(##contig=<ID="quoted">)", "quoted"}, FieldCase{"##contig=<flag,ID=c5>", "c5"},
        FieldCase{"##contig=<ID=>", ""}, FieldCase{"##contig=<ID=c6", "c6"},
        FieldCase{"##contig=<length=5>", std::nullopt},
        FieldCase{"##contig=<length=5>,ID=c7", std::nullopt},
        FieldCase{R"(##contig=<note="unclosed,ID=c8>)", std::nullopt},
        FieldCase{"##contigs=<ID=c1>", std::nullopt}, FieldCase{"##INFO=<ID=c1>", std::nullopt},
        FieldCase{"#contig=<ID=c1>", std::nullopt}, FieldCase{"##contig=ID=c1", std::nullopt},
        FieldCase{"##contig=<XID=c1,ID=c9>", "c9"}));

}  // namespace
}  // namespace varsift::core
