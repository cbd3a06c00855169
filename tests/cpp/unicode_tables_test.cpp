#include "core/unicode_tables.hpp"

#include <ostream>

#include <gtest/gtest.h>

namespace varsift::core {
namespace {

struct PropertyCase {
  char32_t code_point;
  bool grapheme_extend;
  bool unprintable;
};

std::ostream& operator<<(std::ostream& os, const PropertyCase& c) {
  return os << "U+" << std::hex << std::uppercase << static_cast<unsigned long>(c.code_point);
}

class UnicodeTablesTest : public ::testing::TestWithParam<PropertyCase> {};

TEST_P(UnicodeTablesTest, Properties) {
  const PropertyCase& c = GetParam();
  EXPECT_EQ(is_grapheme_extend(c.code_point), c.grapheme_extend);
  EXPECT_EQ(is_unprintable_category(c.code_point), c.unprintable);
}

// Control, format and separator characters in and around ASCII and Latin-1.
INSTANTIATE_TEST_SUITE_P(Latin, UnicodeTablesTest,
                         ::testing::Values(PropertyCase{0x0000, false, true},   // NUL, Cc
                                           PropertyCase{0x001F, false, true},   // Cc
                                           PropertyCase{0x0020, false, true},   // space, Zs
                                           PropertyCase{0x0041, false, false},  // A
                                           PropertyCase{0x007E, false, false},  // ~
                                           PropertyCase{0x007F, false, true},   // DEL, Cc
                                           PropertyCase{0x009F, false, true},   // Cc
                                           PropertyCase{0x00A0, false, true},   // no-break space
                                           PropertyCase{0x00AD, false, true},   // soft hyphen, Cf
                                           PropertyCase{0x00E9, false, false}   // é
                                           ));

// Grapheme_Extend: Mn and Me, plus Other_Grapheme_Extend among Mc, Cf and Lm.
INSTANTIATE_TEST_SUITE_P(
    GraphemeExtend, UnicodeTablesTest,
    ::testing::Values(PropertyCase{0x02FF, false, false},  // modifier letter before the block
                      PropertyCase{0x0300, true, false},   // first combining diacritic
                      PropertyCase{0x0301, true, false},   // combining acute accent
                      PropertyCase{0x036F, true, false},   // last combining diacritic
                      PropertyCase{0x0370, false, false},  // Greek, right after the block
                      PropertyCase{0x0488, true, false},   // enclosing mark, Me
                      PropertyCase{0x09BE, true, false},   // Mc, Other_Grapheme_Extend
                      PropertyCase{0x09BF, false, false},  // Mc, not extending
                      PropertyCase{0x1B35, true, false},   // Mc, Other_Grapheme_Extend
                      PropertyCase{0x200B, false, true},   // zero width space, Cf
                      PropertyCase{0x200C, true, true},    // ZWNJ: Cf and extending
                      PropertyCase{0x200D, false, true},   // ZWJ: Cf, not extending in 15.1
                      PropertyCase{0x3099, true, false},   // combining kana voiced mark
                      PropertyCase{0xFE0F, true, false},   // variation selector 16
                      PropertyCase{0xFF9E, true, false},   // halfwidth voiced mark, Lm
                      PropertyCase{0x1D165, true, false},  // musical stem, Mc
                      PropertyCase{0x1F3FB, false, false}  // skin tone modifier, Sk
                      ));

// Code points first assigned in 15.1, and their unassigned neighbours.
INSTANTIATE_TEST_SUITE_P(
    NewIn15_1, UnicodeTablesTest,
    ::testing::Values(PropertyCase{0x2FFB, false, false}, PropertyCase{0x2FFC, false, false},
                      PropertyCase{0x2FFF, false, false},
                      PropertyCase{0x3000, false, true},  // ideographic space
                      PropertyCase{0x31E3, false, false}, PropertyCase{0x31EE, false, true},
                      PropertyCase{0x31EF, false, false}, PropertyCase{0x2EBE0, false, false},
                      PropertyCase{0x2EBEF, false, true}, PropertyCase{0x2EBF0, false, false},
                      PropertyCase{0x2ED00, false, false}, PropertyCase{0x2EE5D, false, false},
                      PropertyCase{0x2EE5E, false, true}));

// Separators, surrogates, private use and noncharacters.
INSTANTIATE_TEST_SUITE_P(
    Special, UnicodeTablesTest,
    ::testing::Values(PropertyCase{0x2028, false, true},    // line separator, Zl
                      PropertyCase{0x2029, false, true},    // paragraph separator, Zp
                      PropertyCase{0xD800, false, true},    // Cs
                      PropertyCase{0xDFFF, false, true},    // Cs
                      PropertyCase{0xE000, false, true},    // Co
                      PropertyCase{0xF8FF, false, true},    // Co
                      PropertyCase{0xF900, false, false},   // CJK compatibility ideograph
                      PropertyCase{0xFDCF, false, false},   // So
                      PropertyCase{0xFDD0, false, true},    // noncharacter
                      PropertyCase{0xFDEF, false, true},    // noncharacter
                      PropertyCase{0xFDF0, false, false},   // Lo
                      PropertyCase{0xFFFD, false, false},   // replacement character
                      PropertyCase{0xFFFE, false, true},    // noncharacter
                      PropertyCase{0xFFFF, false, true},    // noncharacter
                      PropertyCase{0x1F600, false, false},  // emoji
                      PropertyCase{0x1FFFE, false, true},   // noncharacter
                      PropertyCase{0xF0000, false, true},   // Co, plane 15
                      PropertyCase{0x10FFFD, false, true},  // Co, plane 16
                      PropertyCase{0x10FFFE, false, true},  // noncharacter
                      PropertyCase{0x10FFFF, false, true},  // last code point
                      PropertyCase{0x110000, false, true}   // not a code point
                      ));

// The tag block: Cf or unassigned, U+E0020..U+E007F also Other_Grapheme_Extend.
INSTANTIATE_TEST_SUITE_P(Tags, UnicodeTablesTest,
                         ::testing::Values(PropertyCase{0xE0001, false, true},
                                           PropertyCase{0xE001F, false, true},
                                           PropertyCase{0xE0020, true, true},
                                           PropertyCase{0xE007F, true, true},
                                           PropertyCase{0xE0080, false, true},
                                           PropertyCase{0xE0100, true, false},  // VS17, Mn
                                           PropertyCase{0xE01EF, true, false},  // VS256, Mn
                                           PropertyCase{0xE01F0, false, true}));

}  // namespace
}  // namespace varsift::core
