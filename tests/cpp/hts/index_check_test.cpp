#include "hts/index_check.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varsift::hts {
namespace {

// An index laid out field by field, so that a test can damage one field. Counts left unset
// are the lengths of what they count.
struct Chunk {
  std::uint64_t begin;
  std::uint64_t end;
};
struct Bin {
  std::uint32_t number;
  std::vector<Chunk> chunks;
  std::optional<std::int32_t> chunk_count = std::nullopt;
  std::uint64_t first = 0;  // .csi only
};
struct Sequence {
  std::string name;
  std::vector<Bin> bins;
  std::vector<std::uint64_t> linear;  // .tbi only
  std::optional<std::int32_t> bin_count = std::nullopt;
  std::optional<std::int32_t> linear_count = std::nullopt;
};
struct Layout {
  bool csi = false;
  std::int32_t min_shift = 14;
  std::int32_t depth = 5;
  std::vector<Sequence> sequences;
  std::optional<std::int32_t> sequence_count;
  std::optional<std::string> names;  // the names block; unset: the sequences' names
  std::optional<std::int32_t> names_length;
  std::string aux_extra;  // .csi: bytes after the names in the auxiliary data
  bool no_aux = false;    // .csi: no auxiliary data, as in a BCF's index
  std::string tail;
};

constexpr std::uint64_t data_bytes = 100'000;

std::uint64_t virtual_offset(std::uint64_t block, std::uint64_t within) {
  return block << 16 | within;
}

// Two sequences with leaf bins, a bin one level up, statistics and a linear index.
Layout sound(bool csi) {
  const std::uint32_t leaf = 4681;
  const std::uint32_t pseudo = 37450;
  Layout layout;
  layout.csi = csi;
  layout.sequences = {
      {"c1",
       {{leaf, {{virtual_offset(0, 300), virtual_offset(900, 10)}}},
        {leaf + 1, {{virtual_offset(900, 10), virtual_offset(900, 500)}}},
        {585, {{virtual_offset(0, 400), virtual_offset(0, 600)}}},
        {pseudo, {{virtual_offset(0, 300), virtual_offset(900, 500)}, {7, 0}}}},
       {virtual_offset(0, 300), virtual_offset(900, 10)}},
      {"c2",
       {{leaf + 9, {{virtual_offset(900, 500), virtual_offset(5000, 0)}}}},
       {0, 0, 0, 0, 0, 0, 0, 0, 0, virtual_offset(900, 500)}},
  };
  return layout;
}

void put32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void put64(std::string& out, std::uint64_t value) {
  put32(out, static_cast<std::uint32_t>(value));
  put32(out, static_cast<std::uint32_t>(value >> 32));
}
std::uint32_t count(std::optional<std::int32_t> given, std::size_t size) {
  return static_cast<std::uint32_t>(given.value_or(static_cast<std::int32_t>(size)));
}

std::string bytes_of(const Layout& layout) {
  std::string names;
  for (const Sequence& sequence : layout.sequences) names += sequence.name + '\0';
  names = layout.names.value_or(names);
  std::string tabix;  // configuration of a VCF, then the names
  for (std::uint32_t field : {2U, 1U, 2U, 0U, static_cast<std::uint32_t>('#'), 0U}) {
    put32(tabix, field);
  }
  put32(tabix, count(layout.names_length, names.size()));
  tabix += names;

  std::string out;
  if (layout.csi) {
    out += "CSI\1";
    put32(out, static_cast<std::uint32_t>(layout.min_shift));
    put32(out, static_cast<std::uint32_t>(layout.depth));
    const std::string aux = layout.no_aux ? "" : tabix + layout.aux_extra;
    put32(out, static_cast<std::uint32_t>(aux.size()));
    out += aux;
    put32(out, count(layout.sequence_count, layout.sequences.size()));
  } else {
    out += "TBI\1";
    put32(out, count(layout.sequence_count, layout.sequences.size()));
    out += tabix;
  }
  for (const Sequence& sequence : layout.sequences) {
    put32(out, count(sequence.bin_count, sequence.bins.size()));
    for (const Bin& bin : sequence.bins) {
      put32(out, bin.number);
      if (layout.csi) put64(out, bin.first);
      put32(out, count(bin.chunk_count, bin.chunks.size()));
      for (const Chunk& chunk : bin.chunks) {
        put64(out, chunk.begin);
        put64(out, chunk.end);
      }
    }
    if (!layout.csi) {
      put32(out, count(sequence.linear_count, sequence.linear.size()));
      for (std::uint64_t offset : sequence.linear) put64(out, offset);
    }
  }
  return out + layout.tail;
}

// Where damage is found: in the layout, which every load walks, or in one sequence, which
// only a query touching it checks.
constexpr int layout_fault = -1;

struct Damage {
  const char* name;
  bool csi;
  void (*apply)(Layout&);
  std::optional<IndexProblem::Kind> kind;  // none: sound
  int where = layout_fault;                // the damaged sequence
};

using Kind = IndexProblem::Kind;
constexpr auto unreadable = Kind::unreadable;

const Damage damages[] = {
    {"sound_tbi", false, [](Layout&) {}, std::nullopt},
    {"sound_csi", true, [](Layout&) {}, std::nullopt},
    {"with_unplaced_count", false, [](Layout& l) { l.tail = std::string(8, '\0'); }, std::nullopt},
    {"csi_of_a_deep_scheme", true,
     [](Layout& l) {
       l.min_shift = 30;
       l.depth = 10;
       l.sequences[0].bins.pop_back();  // the pseudo-bin's number follows the scheme
     },
     std::nullopt},
    {"negative_chunk_count", false, [](Layout& l) { l.sequences[0].bins[0].chunk_count = -1; },
     unreadable},
    {"negative_chunk_count_csi", true, [](Layout& l) { l.sequences[1].bins[0].chunk_count = -5; },
     unreadable},
    {"chunk_count_beyond_the_bytes", false,
     [](Layout& l) { l.sequences[0].bins[0].chunk_count = 1 << 30; }, unreadable},
    {"negative_sequence_count", false, [](Layout& l) { l.sequence_count = -1; }, unreadable},
    {"sequence_count_beyond_the_bytes", true, [](Layout& l) { l.sequence_count = 1 << 28; },
     unreadable},
    {"negative_bin_count", false, [](Layout& l) { l.sequences[1].bin_count = -2; }, unreadable},
    {"bin_count_beyond_the_bytes", true, [](Layout& l) { l.sequences[1].bin_count = 3; },
     unreadable},
    {"negative_linear_count", false, [](Layout& l) { l.sequences[0].linear_count = -1; },
     unreadable},
    {"linear_count_beyond_the_bytes", false, [](Layout& l) { l.sequences[1].linear_count = 11; },
     unreadable},
    {"negative_names_length", false, [](Layout& l) { l.names_length = -3; }, unreadable},
    {"names_length_beyond_the_bytes", true, [](Layout& l) { l.names_length = 1000; }, unreadable},
    {"names_not_terminated", false, [](Layout& l) { l.names = std::string("c1\0c2", 5); },
     unreadable},
    {"fewer_names_than_sequences", false, [](Layout& l) { l.names = std::string("c1\0", 3); },
     unreadable},
    {"a_name_twice", false, [](Layout& l) { l.sequences[1].name = "c1"; }, unreadable},
    {"an_empty_name", true, [](Layout& l) { l.sequences[1].name = ""; }, unreadable},
    {"a_bin_twice", false, [](Layout& l) { l.sequences[0].bins[1].number = 4681; }, unreadable, 0},
    {"a_bin_outside_the_scheme", false, [](Layout& l) { l.sequences[1].bins[0].number = 37449; },
     unreadable, 1},
    {"a_chunk_ending_before_it_begins", true,
     [](Layout& l) {
       std::swap(l.sequences[1].bins[0].chunks[0].begin, l.sequences[1].bins[0].chunks[0].end);
     },
     unreadable, 1},
    {"chunks_out_of_order", false,
     [](Layout& l) {
       l.sequences[0].bins[0].chunks.insert(l.sequences[0].bins[0].chunks.begin(),
                                            {virtual_offset(950, 0), virtual_offset(960, 0)});
     },
     unreadable, 0},
    {"statistics_of_one_chunk", false, [](Layout& l) { l.sequences[0].bins[3].chunks.pop_back(); },
     unreadable, 0},
    {"bytes_after_the_end", false, [](Layout& l) { l.tail = "xyz"; }, unreadable},
    {"csi_min_shift_zero", true, [](Layout& l) { l.min_shift = 0; }, unreadable},
    {"csi_min_shift_beyond_30", true, [](Layout& l) { l.min_shift = 31; }, unreadable},
    {"csi_depth_beyond_10", true, [](Layout& l) { l.depth = 11; }, unreadable},
    {"csi_negative_depth", true, [](Layout& l) { l.depth = -1; }, unreadable},
    {"csi_aux_goes_on_after_the_names", true, [](Layout& l) { l.aux_extra = "??"; }, unreadable},
    {"csi_of_a_bcf_without_names", true, [](Layout& l) { l.no_aux = true; }, std::nullopt},
    {"csi_of_a_bcf_with_a_sequence_cut_short", true,
     [](Layout& l) {
       l.no_aux = true;
       l.sequences[1].bin_count = 2;
     },
     unreadable},
    {"chunk_past_the_data", false,
     [](Layout& l) { l.sequences[1].bins[0].chunks[0].end = virtual_offset(data_bytes + 1, 0); },
     Kind::stale, 1},
    {"linear_entry_past_the_data", false,
     [](Layout& l) { l.sequences[1].linear.back() = virtual_offset(data_bytes * 2, 0); },
     Kind::stale, 1},
    {"csi_first_record_past_the_data", true,
     [](Layout& l) { l.sequences[0].bins[0].first = virtual_offset(data_bytes + 1, 0); },
     Kind::stale, 0},
    {"damage_goes_before_offsets_past_the_data", false,
     [](Layout& l) {
       l.sequences[0].bins[0].chunks[0].end = virtual_offset(data_bytes + 1, 0);
       l.sequences[0].bins[2].number = l.sequences[0].bins[1].number;
     },
     unreadable, 0},
};

class IndexCheck : public ::testing::TestWithParam<Damage> {};

TEST_P(IndexCheck, FindsEachDamageWhereItLies) {
  const Damage& damage = GetParam();
  Layout layout = sound(damage.csi);
  damage.apply(layout);
  const std::string bytes = bytes_of(layout);
  IndexLayout found;
  const auto problem = check_index_layout(bytes, found);
  if (damage.kind && damage.where == layout_fault) {
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->kind, *damage.kind) << problem->message;
    return;
  }
  ASSERT_FALSE(problem) << problem->message;
  EXPECT_EQ(found.format, damage.csi ? Index::Format::csi : Index::Format::tbi);
  EXPECT_EQ(found.sequences, 2U);
  EXPECT_EQ(found.names.names().size(), found.named ? 2U : 0U);
  for (std::size_t tid = 0; tid < found.sequences; ++tid) {
    const auto in_sequence = check_index_sequence(bytes, found, tid, data_bytes);
    if (damage.kind && damage.where == static_cast<int>(tid)) {
      ASSERT_TRUE(in_sequence) << tid;
      EXPECT_EQ(in_sequence->kind, *damage.kind) << in_sequence->message;
    } else {
      EXPECT_FALSE(in_sequence) << tid << ": " << in_sequence->message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Damages, IndexCheck, ::testing::ValuesIn(damages),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(IndexCheck, FindsEveryIndexCutShort) {
  for (bool csi : {false, true}) {
    const std::string bytes = bytes_of(sound(csi));
    for (std::size_t size = 0; size < bytes.size(); ++size) {
      IndexLayout found;
      const auto problem = check_index_layout(bytes.substr(0, size), found);
      ASSERT_TRUE(problem) << size;
      EXPECT_EQ(problem->kind, unreadable) << problem->message;
    }
  }
}

TEST(IndexCheck, GivesTheSchemeAndWhereEachSequenceEnds) {
  Layout layout = sound(true);
  layout.min_shift = 12;
  layout.depth = 6;
  layout.sequences[0].bins.pop_back();
  // Level 5 begins at bin 4681 with bins of 2^(12 + 3) bases; level 6 at bin 37449.
  layout.sequences[0].bins.push_back({37449 + 3, {{virtual_offset(0, 10), virtual_offset(0, 20)}}});
  IndexLayout found;
  ASSERT_FALSE(check_index_layout(bytes_of(layout), found));
  EXPECT_EQ(found.min_shift, 12);
  EXPECT_EQ(found.depth, 6);
  EXPECT_EQ(found.extents, (std::vector<std::int64_t>{8 << 15, 10 << 15}));
}

}  // namespace
}  // namespace varsift::hts
