#include "storage/serialization.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "testing/storage_damage.hpp"
#include "testing/storage_records.hpp"

namespace tessaradb::testing {
// allocation_tracking_test.cpp: the largest single allocation between start and stop.
void start_allocation_tracking();
std::size_t stop_allocation_tracking();
}  // namespace tessaradb::testing

namespace tessaradb {
namespace {

using testing::bytes;
using testing::make_entry;
using testing::minimal_entry;

std::vector<std::byte> concat(std::vector<std::byte> a, const std::vector<std::byte>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The error text of a failed decode, or "decoded" when it succeeded.
template <typename R>
std::string error_message(const R& result) {
  return result ? std::string("decoded") : result.error().message();
}

const std::vector<std::byte> kEnvelope = bytes({0xFF, 0, 0, 0, 0});

TEST(Serialization, MinimalEntryIs45BytesAnd50Enveloped) {
  const auto bare = bytes({
      7, 0, 0, 0, 0, 0, 0, 0,  // id
      0, 0, 0, 0, 0, 0, 0, 0,  // namespace: empty string
      0, 0, 0, 0, 0, 0, 0, 0,  // content: empty bytes
      0,                       // embedding: absent
      0, 0, 0, 0, 0, 0, 0, 0,  // metadata: no pairs
      0, 0, 0, 0, 0, 0, 0, 0,  // created_at
      0, 0, 0, 0,              // importance 0.0
  });
  ASSERT_EQ(bare.size(), 45u);
  EXPECT_EQ(encoded_size(minimal_entry(7)), 45u);
  auto enveloped = serialize_versioned(minimal_entry(7));
  ASSERT_TRUE(enveloped);
  EXPECT_EQ(*enveloped, concat(kEnvelope, bare));

  auto decoded = deserialize_versioned<MemoryEntry>(*enveloped);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, minimal_entry(7));
}

TEST(Serialization, FullEntryGoldenBytes) {
  MemoryEntry e;
  e.id = MemoryId{0x0102};
  e.namespace_ = "ab";
  e.content = "x";
  e.embedding = std::vector<float>{1.0f};
  e.metadata = {{"k", "v"}};
  e.created_at = 5;
  e.importance = 0.5f;
  const auto expected = bytes({
      0x02, 0x01, 0, 0, 0, 0, 0, 0,          // id
      2, 0, 0, 0, 0, 0, 0, 0, 'a', 'b',      // namespace
      1, 0, 0, 0, 0, 0, 0, 0, 'x',           // content
      1,                                     // embedding: present
      1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x3F,  //   one value, 1.0f
      1, 0, 0, 0, 0, 0, 0, 0,                // one metadata pair
      1, 0, 0, 0, 0, 0, 0, 0, 'k',           //   key
      1, 0, 0, 0, 0, 0, 0, 0, 'v',           //   value
      5, 0, 0, 0, 0, 0, 0, 0,                // created_at
      0, 0, 0, 0x3F,                         // importance 0.5f
  });
  EXPECT_EQ(encoded_size(e), expected.size());
  EXPECT_EQ(expected.size(), 45u + 2 + 1 + (8 + 4) + (16 + 2));
  auto enveloped = serialize_versioned(e);
  ASSERT_TRUE(enveloped);
  EXPECT_EQ(*enveloped, concat(kEnvelope, expected));
}

TEST(Serialization, CommandGoldenBytes) {
  struct Case {
    const char* name;
    Command command;
    std::vector<std::byte> bare;
  };
  auto insert_bare = bytes({0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0});
  insert_bare.resize(4 + 45);  // the rest of the minimal entry is zero bytes
  const Case cases[] = {
      {"delete 7", DeleteMemory{MemoryId{7}}, bytes({1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0})},
      {"add edge", AddEdge{MemoryId{1}, MemoryId{2}, "r"},
       bytes({2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
              'r'})},
      {"remove edge", RemoveEdge{MemoryId{3}, MemoryId{4}},
       bytes({3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0})},
      {"insert", InsertMemory{minimal_entry(9)}, insert_bare},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encoded_size(c.command), c.bare.size());
    auto enveloped = serialize_versioned(c.command);
    ASSERT_TRUE(enveloped);
    EXPECT_EQ(*enveloped, concat(kEnvelope, c.bare));
    // The pre-envelope form decodes to the same command.
    auto from_bare = deserialize_versioned<Command>(c.bare);
    ASSERT_TRUE(from_bare);
    EXPECT_EQ(*from_bare, c.command);
  }
  auto del = serialize_versioned(Command{DeleteMemory{MemoryId{7}}});
  ASSERT_TRUE(del);
  EXPECT_EQ(*del, bytes({0xFF, 0, 0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Serialization, EveryCommandRoundTrips) {
  for (const Command& command : testing::one_of_each_command()) {
    SCOPED_TRACE(command.index());
    auto encoded = serialize_versioned(command);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->size(), kEnvelopeHeaderBytes + encoded_size(command));
    auto decoded = deserialize_versioned<Command>(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, command);
  }
}

TEST(Serialization, StridedEmbeddingEncodesLikeItsContiguousCopy) {
  // A view reading every third float of a shared buffer, longer than the encoder's gather chunk.
  constexpr std::uint32_t kSize = 150;
  auto storage = std::make_shared<std::vector<float>>(3 * kSize);
  for (std::size_t i = 0; i < storage->size(); ++i) (*storage)[i] = static_cast<float>(i) - 0.5f;
  MemoryEntry viewed = minimal_entry(4);
  viewed.embedding = Embedding::view(storage, storage->data() + 1, kSize, 3);
  MemoryEntry owned = viewed;
  owned.embedding = viewed.embedding.to_vector();
  ASSERT_FALSE(viewed.embedding.is_contiguous());
  auto a = serialize_versioned(viewed);
  auto b = serialize_versioned(owned);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->size(), kEnvelopeHeaderBytes + encoded_size(viewed));
  auto decoded = deserialize_versioned<MemoryEntry>(*a);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(identical_bits(decoded->embedding, viewed.embedding));
  EXPECT_EQ(decoded->embedding[kSize - 1], (*storage)[1 + 3 * (kSize - 1)]);
}

TEST(Serialization, FloatsKeepTheirBitPatterns) {
  MemoryEntry e = minimal_entry(1);
  e.embedding = std::vector<float>{-0.0f, INFINITY, 1e-45f, -3.5f};
  e.importance = NAN;
  auto encoded = serialize_versioned(e);
  ASSERT_TRUE(encoded);
  auto decoded = deserialize_versioned<MemoryEntry>(*encoded);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(std::signbit(decoded->embedding[0]));
  EXPECT_EQ(decoded->embedding[1], INFINITY);
  EXPECT_EQ(decoded->embedding[2], 1e-45f);
  EXPECT_TRUE(std::isnan(decoded->importance));
}

TEST(Serialization, DecodeFailures) {
  const auto del = *serialize_versioned(Command{DeleteMemory{MemoryId{7}}});
  auto envelope_index_1 = del;
  envelope_index_1[1] = std::byte{1};
  auto variant_4 = del;
  variant_4[5] = std::byte{4};
  auto bad_tag = *serialize_versioned(minimal_entry(1));
  bad_tag[5 + 24] = std::byte{2};  // the embedding's option tag
  MemoryEntry with_ns = minimal_entry(1);
  with_ns.namespace_ = "ab";
  auto bad_utf8 = *serialize_versioned(with_ns);
  bad_utf8[5 + 16] = std::byte{0xC3};  // a lead byte followed by an ASCII byte
  auto huge_count = *serialize_versioned(minimal_entry(1));
  huge_count[5 + 8 + 7] = std::byte{0x7F};  // namespace length near 2^63

  struct Case {
    const char* name;
    std::vector<std::byte> input;
    bool is_entry;  // decode as a MemoryEntry, else as a Command
    const char* message_part;
  };
  const Case cases[] = {
      {"empty payload", {}, false, "unexpected end of input"},
      {"marker and three bytes", bytes({0xFF, 0, 0, 0}), false, "unexpected end of input"},
      {"envelope index 1", envelope_index_1, false, "variant index 0 <= i < 1"},
      {"command variant 4", variant_4, false, "variant index 0 <= i < 4"},
      {"truncated delete", std::vector<std::byte>(del.begin(), del.end() - 1), false,
       "unexpected end of input"},
      {"option tag 2", bad_tag, true, "option tag"},
      {"invalid utf-8", bad_utf8, true, "utf-8"},
      {"count beyond input", huge_count, true, "exceeds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message =
        c.is_entry ? error_message(deserialize_versioned<MemoryEntry>(c.input))
                   : error_message(deserialize_versioned<Command>(c.input));
    EXPECT_NE(message.find(c.message_part), std::string::npos) << message;
  }
  auto variant = deserialize_versioned<Command>(variant_4);
  ASSERT_FALSE(variant);
  EXPECT_EQ(variant.error().message(),
            "invalid value: integer `4`, expected variant index 0 <= i < 4");
}

TEST(Serialization, BareEntryWhoseIdEndsInFFIsTakenForAnEnvelope) {
  auto encoded = serialize_versioned(minimal_entry(0x01FF));
  ASSERT_TRUE(encoded);
  const std::vector<std::byte> bare(encoded->begin() + kEnvelopeHeaderBytes, encoded->end());
  ASSERT_EQ(bare[0], std::byte{0xFF});
  EXPECT_FALSE(deserialize_versioned<MemoryEntry>(bare));
}

TEST(Serialization, TrailingBytesAreIgnored) {
  auto encoded = *serialize_versioned(Command{RemoveEdge{MemoryId{1}, MemoryId{2}}});
  encoded.push_back(std::byte{0xAB});
  encoded.push_back(std::byte{0xCD});
  auto decoded = deserialize_versioned<Command>(encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, (Command{RemoveEdge{MemoryId{1}, MemoryId{2}}}));
}

TEST(Serialization, MetadataPairsInAnyOrderDecodeEqual) {
  MemoryEntry e = minimal_entry(3);
  e.metadata = {{"a", "1"}, {"b", "2"}};
  auto forward = *serialize_versioned(e);
  // Swap the two pairs (each is 8 + 1 + 8 + 1 = 18 bytes) after the count.
  const std::size_t pairs_at = kEnvelopeHeaderBytes + 8 + 8 + 8 + 1 + 8;
  auto swapped = forward;
  std::copy(forward.begin() + pairs_at, forward.begin() + pairs_at + 18,
            swapped.begin() + pairs_at + 18);
  std::copy(forward.begin() + pairs_at + 18, forward.begin() + pairs_at + 36,
            swapped.begin() + pairs_at);
  ASSERT_NE(forward, swapped);
  auto a = deserialize_versioned<MemoryEntry>(forward);
  auto b = deserialize_versioned<MemoryEntry>(swapped);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(*a, e);
}

StateMachine sample_state() {
  StateMachine state;
  for (std::uint64_t id = 1; id <= 5; ++id) state.insert_memory(make_entry(id, 3));
  EXPECT_TRUE(state.add_edge(MemoryId{1}, MemoryId{2}, "next"));
  EXPECT_TRUE(state.add_edge(MemoryId{1}, MemoryId{3}, "also"));
  EXPECT_TRUE(state.add_edge(MemoryId{2}, MemoryId{1}, ""));
  EXPECT_TRUE(state.delete_memory(MemoryId{3}));  // leaves 1's list holding only 1 -> 2
  MemoryEntry same_time = make_entry(6, 0);
  same_time.created_at = make_entry(2).created_at;
  state.insert_memory(same_time);
  return state;
}

TEST(Checkpoint, EmptyStateIs36Bytes) {
  const auto encoded = encode_checkpoint(0x0A, StateMachine{});
  EXPECT_EQ(encoded, bytes({1, 0, 0, 0,                  // version
                            0x0A, 0, 0, 0, 0, 0, 0, 0,   // last_applied_id
                            0, 0, 0, 0, 0, 0, 0, 0,      // memories
                            0, 0, 0, 0, 0, 0, 0, 0,      // graph
                            0, 0, 0, 0, 0, 0, 0, 0}));   // temporal index
}

TEST(Checkpoint, StateRoundTrips) {
  const StateMachine state = sample_state();
  const auto encoded = encode_checkpoint(42, state);
  EXPECT_EQ(encoded.size(), kCheckpointHeaderBytes + encoded_size(state));
  auto decoded = decode_checkpoint(encoded);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->version, 1u);
  EXPECT_EQ(decoded->last_applied_id, 42u);
  EXPECT_TRUE(decoded->state_machine == state);
  // The reverse-edge index is rebuilt: deleting 2 removes 1's edge to it.
  StateMachine restored = decoded->state_machine;
  ASSERT_TRUE(restored.delete_memory(MemoryId{2}));
  auto neighbours = restored.get_neighbors(MemoryId{1});
  ASSERT_TRUE(neighbours);
  EXPECT_TRUE(neighbours->empty());
}

TEST(Checkpoint, UnsortedEdgeListsAreNormalised) {
  StateMachine state;
  state.insert_memory(minimal_entry(1));
  state.insert_memory(minimal_entry(2));
  ASSERT_TRUE(state.add_edge(MemoryId{1}, MemoryId{2}, "a"));
  ASSERT_TRUE(state.add_edge(MemoryId{1}, MemoryId{2}, "b"));
  auto encoded = encode_checkpoint(0, state);
  // Swap the relation letters of the two edges: the stored list becomes b, a.
  std::size_t first = 0;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == std::byte{'a'}) first = i;
  }
  ASSERT_EQ(encoded[first + 17], std::byte{'b'});
  std::swap(encoded[first], encoded[first + 17]);
  auto decoded = decode_checkpoint(encoded);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(decoded->state_machine == state);
}

TEST(Checkpoint, MemoryUnderAnotherKeyIsRefused) {
  StateMachine state;
  state.insert_memory(minimal_entry(1));
  auto encoded = encode_checkpoint(0, state);
  encoded[kCheckpointHeaderBytes + 8] = std::byte{2};  // the key of the only memory
  auto decoded = decode_checkpoint(encoded);
  ASSERT_FALSE(decoded);
}

// Damaged encodings of every record type never crash, never read out of bounds (the sanitizer
// build checks that) and never allocate more than a small multiple of their own size.
TEST(SerializationMutation, DamagedInputFailsCleanly) {
  std::vector<std::vector<std::byte>> commands;
  for (const Command& c : testing::one_of_each_command()) {
    commands.push_back(*serialize_versioned(c));
  }
  std::vector<std::vector<std::byte>> entries = {*serialize_versioned(make_entry(11, 16)),
                                                 *serialize_versioned(minimal_entry(12))};
  std::vector<std::vector<std::byte>> checkpoints = {encode_checkpoint(5, sample_state())};

  std::mt19937 rng{12345};
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  auto mutate = [&](std::vector<std::byte> input) {
    switch (pick(3)) {
      case 0:  // flip one to three bytes
        for (std::size_t k = 0, n = 1 + pick(3); k < n; ++k) {
          input[pick(input.size())] ^= std::byte(1 + pick(255));
        }
        break;
      case 1:  // truncate
        input.resize(pick(input.size()));
        break;
      default: {  // overwrite what may be a length or count with a large value
        static const std::uint64_t kValues[] = {0xFFFFFFFFFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull,
                                                0xFFFFFFFFull, 1ull << 40, 1000, 3};
        const std::uint64_t value = kValues[pick(std::size(kValues))];
        const std::size_t at = pick(input.size());
        for (std::size_t i = 0; i < 8 && at + i < input.size(); ++i) {
          input[at + i] = std::byte(static_cast<std::uint8_t>(value >> (8 * i)));
        }
      }
    }
    return input;
  };
  auto largest_while = [&](std::size_t input_size, auto&& decode) {
    testing::start_allocation_tracking();
    decode();
    const std::size_t largest = testing::stop_allocation_tracking();
    EXPECT_LE(largest, 4 * input_size + 256) << "input of " << input_size << " bytes";
  };

  int failures = 0;
  for (int round = 0; round < 4000; ++round) {
    for (const auto& original : commands) {
      const auto input = mutate(original);
      largest_while(input.size(), [&] { failures += !deserialize_versioned<Command>(input); });
    }
    for (const auto& original : entries) {
      const auto input = mutate(original);
      largest_while(input.size(), [&] { failures += !deserialize_versioned<MemoryEntry>(input); });
    }
    for (const auto& original : checkpoints) {
      const auto input = mutate(original);
      largest_while(input.size(), [&] { failures += !decode_checkpoint(input); });
    }
  }
  EXPECT_GT(failures, 1000);  // the mutations do reach the error paths
}

}  // namespace
}  // namespace tessaradb
