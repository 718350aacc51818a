#include "chunker/chunker.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chunker/chunk_json.hpp"
#include "chunker/utf8.hpp"

namespace tessaradb {
namespace {

using Texts = std::vector<std::string>;

Texts texts_of(const std::vector<ChunkResult>& chunks) {
  Texts out;
  for (const ChunkResult& c : chunks) out.push_back(c.text);
  return out;
}

// Every strategy numbers its chunks 0, 1, 2, ...; only json sets metadata.
void expect_numbered(const std::vector<ChunkResult>& chunks, bool with_metadata) {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(chunks[i].index, i);
    EXPECT_EQ(chunks[i].metadata.has_value(), with_metadata) << "chunk " << i;
  }
}

ChunkStrategy fixed(std::size_t size, std::size_t overlap) {
  return {ChunkStrategy::Fixed{size, overlap}};
}
ChunkStrategy recursive(std::size_t size, std::size_t overlap) {
  return {ChunkStrategy::Recursive{size, overlap}};
}
ChunkStrategy semantic(std::size_t overlap) { return {ChunkStrategy::Semantic{overlap}}; }
ChunkStrategy markdown(bool preserve_headers = true, std::size_t overlap = 0) {
  return {ChunkStrategy::Markdown{preserve_headers, overlap}};
}
ChunkStrategy json() { return {ChunkStrategy::Json{0}}; }

std::vector<ChunkStrategy> every_strategy(std::size_t size, std::size_t overlap) {
  return {fixed(size, overlap), recursive(size, overlap), semantic(overlap),
          markdown(true, overlap), markdown(false, overlap), {ChunkStrategy::Json{overlap}}};
}

struct Case {
  const char* name;
  std::string text;
  ChunkStrategy strategy;
  Texts expected;
};

void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto chunks = chunk(c.text, c.strategy);
    EXPECT_EQ(texts_of(chunks), c.expected);
    expect_numbered(chunks, false);
  }
}

TEST(ChunkAnyStrategy, EmptyAndWhiteSpaceOnlyTextGiveNoChunks) {
  // U+00A0, U+3000, U+2028 and U+0085 are Unicode White_Space, so they trim away too.
  for (const std::string text : {"", " \t\r\n\v\f", "\u00A0\u3000\u2028\u0085 \n"}) {
    for (const ChunkStrategy& s : every_strategy(16, 2)) {
      SCOPED_TRACE(testing::Message() << "variant " << s.kind.index() << " text '" << text << "'");
      EXPECT_TRUE(chunk(text, s).empty());
    }
  }
}

TEST(ChunkFixed, Windows) {
  const std::string long_text(1000, 'x');
  run_cases({
      {"size 0", long_text, fixed(0, 0), {}},
      {"overlap equal to size", long_text, fixed(10, 10), {}},
      {"overlap above size", long_text, fixed(10, 11), {}},
      // The first window ends at the space after aaaa; the second starts at byte 7 whatever
      // the first one's end was, so bytes 4..7 belong to no chunk.
      {"window starts are not moved", "aaaa bbbb cccc", fixed(7, 0), {"aaaa", "bb cccc"}},
      {"byte overlap", "abcdefghij", fixed(4, 1), {"abcd", "defg", "ghij", "j"}},
      // The last window reaches the end, so it is not shortened to its last space.
      {"last window keeps its tail", "ab cd", fixed(5, 0), {"ab cd"}},
      {"space at the window start is not a cut", " ab", fixed(2, 0), {"ab"}},
      // Only byte 0x20 shortens a window; other white space does not.
      {"tab is not a cut", "ab\tcd ef", fixed(4, 0), {"ab\tc", "d ef"}},
      {"white-space pieces take no index", "a     b", fixed(2, 0), {"a", "b"}},
      {"input is trimmed first", "  \u3000abc  ", fixed(2, 0), {"ab", "c"}},
      {"size near the top of size_t", "ab cd", fixed(SIZE_MAX, 1), {"ab cd"}},
      {"step near the top of size_t", "ab cd ef", fixed(SIZE_MAX - 1, 0), {"ab cd ef"}},
  });
}

TEST(ChunkFixed, MultiByteCharactersAreNeverSplit) {
  // Two-byte Greek letters with window size 3: every odd cut falls inside a letter and moves
  // back to its first byte, so with overlap 0 each letter lands in exactly one window.
  const std::string greek = "\u03b1\u03b2\u03b3\u03b4\u03b5\u03b6";  // 12 bytes
  EXPECT_EQ(texts_of(chunk(greek, fixed(3, 0))),
            (Texts{"\u03b1", "\u03b2\u03b3", "\u03b4", "\u03b5\u03b6"}));
  // A window smaller than a character still yields every character once.
  EXPECT_EQ(texts_of(chunk("\U0001F600a\u00e9", fixed(1, 0))),
            (Texts{"\U0001F600", "a", "\u00e9"}));
  // Mixed text with overlap: every chunk is well-formed and the chunk_fixed entry point agrees.
  const std::string mixed = "na\u00efve caf\u00e9 \u65e5\u672c\u8a9e \U0001F600 end";
  for (std::size_t size = 1; size < 12; ++size) {
    for (std::size_t overlap = 0; overlap < size; ++overlap) {
      const auto chunks = chunk(mixed, fixed(size, overlap));
      EXPECT_EQ(chunks, chunk_fixed(mixed, size, overlap));
      for (const ChunkResult& c : chunks) EXPECT_TRUE(detail::is_valid_utf8(c.text)) << c.text;
    }
  }
}

TEST(ChunkRecursive, Splitting) {
  run_cases({
      {"fits in one chunk", "  one\n\ntwo  ", recursive(100, 5), {"one\n\ntwo"}},
      {"merges parts up to the size", "a\nb\nc", recursive(3, 0), {"a\nb", "c"}},
      {"an over-long paragraph stays whole", "short\n\n" + std::string(30, 'x') + "\n\ntail",
       recursive(10, 0), {"short", std::string(30, 'x'), "tail"}},
      {"triple newline wins over double", "aa\n\nbb\n\n\ncc", recursive(7, 0),
       {"aa\n\nbb", "cc"}},
      {"'.!?' is one literal separator", "one.!?two.!?three", recursive(9, 0),
       {"one.!?two", "three"}},
      {"',;: ' is one literal separator", "alpha,;: beta", recursive(6, 0), {"alpha", "beta"}},
      // No separator but spaces: fixed windows (byte overlap 1), then one word of overlap.
      {"space-only text falls back to fixed windows", "aaaa bbbb cccc", recursive(7, 1),
       {"aaaa", "aaaa bbb", "bbb cc"}},
      {"a lone '.' is no separator", "one. two. three", recursive(9, 0),
       {"one.", "three"}},
      {"size 0 without separator gives nothing", "abc def", recursive(0, 0), {}},
      {"size 0 with separators keeps every part", "a\nb", recursive(0, 0), {"a", "b"}},
  });
}

TEST(ApplyOverlap, TakesWordsFromTheAlreadyExtendedChunk) {
  std::vector<ChunkResult> chunks = {{"a b c", 0, {}}, {"d", 1, {}}, {"e f", 2, {}}};
  apply_overlap(chunks, 2);
  EXPECT_EQ(texts_of(chunks), (Texts{"a b c", "b c d", "c d e f"}));
  EXPECT_EQ(chunks[2].index, 2u);

  // Unicode white space separates words; the words are rejoined with single spaces.
  std::vector<ChunkResult> spaced = {{"x\u3000\u3000y\n z", 0, {}}, {"w", 1, {}}};
  apply_overlap(spaced, 5);
  EXPECT_EQ(spaced[1].text, "x y z w");

  std::vector<ChunkResult> untouched = {{"a b", 0, {}}, {"c", 1, {}}};
  apply_overlap(untouched, 0);
  EXPECT_EQ(texts_of(untouched), (Texts{"a b", "c"}));
}

TEST(ChunkSemantic, MergesParagraphsUpTo2048Bytes) {
  const std::string first(1000, 'a');
  run_cases({
      {"1000 + 2 + 1046 merge", first + "\n\n" + std::string(1046, 'b'), semantic(0),
       {first + "\n\n" + std::string(1046, 'b')}},
      {"1000 + 2 + 1047 split", first + "\n\n" + std::string(1047, 'b'), semantic(0),
       {first, std::string(1047, 'b')}},
      {"one paragraph above 2048 stays whole", std::string(3000, 'c'), semantic(0),
       {std::string(3000, 'c')}},
      {"paragraphs are trimmed, empty ones skipped", " p1 \n\n \n\n\tp2\n", semantic(0),
       {"p1\n\np2"}},
      {"overlap in words", first + "\n\n" + std::string(1047, 'b') + " end", semantic(1),
       {first, first + " " + std::string(1047, 'b') + " end"}},
  });
}

TEST(ChunkMarkdown, Sections) {
  const std::string long_line(3000, 'x');
  run_cases({
      {"headers start chunks", "# A\ntext\n## B\nmore", markdown(), {"# A text", "## B more"}},
      {"headers dropped without preservation", "# A\ntext\n## B\nmore", markdown(false),
       {"text", "more"}},
      {"code block becomes the marker", "Intro\n```\nlet x = 1;\n\n```\nAfter", markdown(),
       {"Intro [CODE_BLOCK] After"}},
      {"code blocks are matched lazily", "a ```x``` b ```y``` c", markdown(),
       {"a  [CODE_BLOCK]  b  [CODE_BLOCK]  c"}},
      {"an unclosed fence line is dropped", "a\n```\ncode", markdown(), {"a code"}},
      {"list lines under a header", "# H\n- one\n* two\n+ three", markdown(),
       {"# H\n- one\n* two\n+ three"}},
      {"list lines without a header", "- one\n- two", markdown(), {"- one- two"}},
      {"text before the first header", "intro\n# H\nbody", markdown(), {"intro", "# H body"}},
      {"header after header", "# A\n# B\nx", markdown(), {"# A", "# B x"}},
      {"seven hashes are no header", "####### x\n# H", markdown(), {"####### x", "# H"}},
      {"a hash without space is no header", "#tag\n# H", markdown(), {"#tag", "# H"}},
      // \s is Unicode white space: U+00A0 and U+3000 separate the hashes from the title.
      {"unicode space after the hashes", "#\u00A0A\nx\n##\u3000B\ny", markdown(),
       {"#\u00A0A x", "##\u3000B y"}},
      {"unicode space before a list marker", "# H\n-\u2003item", markdown(),
       {"# H\n-\u2003item"}},
      {"blank lines are skipped", "# A\n\n   \ntext", markdown(), {"# A text"}},
      {"cut above 2048 bytes carries the header", "# H\n" + long_line + "\nmore", markdown(),
       {"# H " + long_line, "# H more"}},
      // After a cut the carried header alone is not emitted again as a chunk of its own.
      {"no header-only chunk after a cut", "# H\n" + long_line + "\n# I\ny", markdown(),
       {"# H " + long_line, "# I y"}},
      {"an over-long header is emitted once", "# " + long_line, markdown(), {"# " + long_line}},
      {"cut without preservation", "# H\n" + long_line + "\nmore", markdown(false),
       {long_line, "more"}},
      {"overlap in words", "# A\nx y\n# B\nz", markdown(true, 2), {"# A x y", "x y # B z"}},
  });
}

TEST(ChunkMarkdown, LargeCodeBlockIsReplacedWhole) {
  // One block far longer than the default backtracking limits of the expression engine.
  const std::string block = "```\n" + std::string(4 << 20, 'c') + "\n```";
  EXPECT_EQ(texts_of(chunk("before\n" + block + "\nafter", markdown())),
            (Texts{"before [CODE_BLOCK] after"}));
}

TEST(ChunkMarkdown, ConcurrentCallsAgree) {
  std::string text;
  for (int i = 0; i < 200; ++i) {
    text += "# Section " + std::to_string(i) + "\n- item\nbody text\n```\ncode\n```\n";
  }
  const auto expected = chunk(text, markdown(true, 3));
  ASSERT_EQ(expected.size(), 200u);
  std::vector<std::thread> threads;
  std::vector<int> equal(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      bool all = true;
      for (int round = 0; round < 20; ++round) all = all && chunk(text, markdown(true, 3)) == expected;
      equal[t] = all;
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < 4; ++t) EXPECT_TRUE(equal[t]) << "thread " << t;
}

struct Leaf {
  std::string key;
  std::string value;
  friend bool operator==(const Leaf&, const Leaf&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Leaf& l) {
    return os << l.key << "=" << l.value;
  }
};

std::vector<Leaf> leaves_of(const std::vector<ChunkResult>& chunks) {
  std::vector<Leaf> out;
  for (const ChunkResult& c : chunks) {
    EXPECT_TRUE(c.metadata && c.metadata->key && c.metadata->value);
    if (!c.metadata || !c.metadata->key || !c.metadata->value) continue;
    EXPECT_EQ(c.text, *c.metadata->value);
    out.push_back({*c.metadata->key, *c.metadata->value});
  }
  return out;
}

TEST(ChunkJson, OneChunkPerLeaf) {
  struct JsonCase {
    const char* name;
    std::string text;
    std::vector<Leaf> expected;
  };
  const std::vector<JsonCase> cases = {
      {"nested paths in byte order of keys",
       R"({"b": {"list": [1, 2.5, "s"]}, "a": null, "B": true, "\u00e9": false, "ab": {"x": {}}})",
       {{"B", "true"},
        {"a", "null"},
        {"b.list[0]", "1"},
        {"b.list[1]", "2.5"},
        {"b.list[2]", "s"},
        {"\u00e9", "false"}}},
      {"root array", "[1, [2, []], {\"k\": \"v\"}]", {{"[0]", "1"}, {"[1][0]", "2"}, {"[2].k", "v"}}},
      {"root integer", "42", {{"", "42"}}},
      {"root string unescaped", R"("a\"b\u00e9\n")", {{"", "a\"b\u00e9\n"}}},
      {"empty string leaf", R"({"e": ""})", {{"e", ""}}},
      {"integers in plain decimal",
       "[18446744073709551615, -9223372036854775808, -0, 100000000000000000000]",
       {{"[0]", "18446744073709551615"},
        {"[1]", "-9223372036854775808"},
        {"[2]", "0"},
        {"[3]", "1e+20"}}},
      {"non-integers in shortest round-trip form", "[0.1, 1.0, 1E5, -0.0, 3.14159]",
       {{"[0]", "0.1"}, {"[1]", "1.0"}, {"[2]", "100000.0"}, {"[3]", "-0.0"}, {"[4]", "3.14159"}}},
  };
  for (const JsonCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto chunks = chunk(c.text, json());
    EXPECT_EQ(leaves_of(chunks), c.expected);
    for (std::size_t i = 0; i < chunks.size(); ++i) EXPECT_EQ(chunks[i].index, i);
  }
}

TEST(ChunkJson, WholeTextWhenThereAreNoLeaves) {
  for (const std::string text :
       {"{}", "[]", "  { \"a\": {}, \"b\": [[]] }  ", "{\"a\": 1,}", "[1, 2] trailing", "{'a': 1}",
        "// comment\n1", "1e400", "\"\\ud800\"", "nul"}) {
    SCOPED_TRACE(text);
    const auto chunks = chunk(text, json());
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].index, 0u);
    EXPECT_FALSE(chunks[0].metadata.has_value());
    // The text is the trimmed input (invalid UTF-8 repaired).
    std::string repaired;
    EXPECT_EQ(chunks[0].text, detail::trim(detail::repair_utf8(text, repaired)));
  }
}

TEST(ChunkJson, DeepNestingNeitherCrashesNorLosesTheLeaf) {
  const std::size_t depth = 200000;
  const std::string text = std::string(depth, '[') + "7" + std::string(depth, ']');
  const auto chunks = chunk(text, json());
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].text, "7");
  ASSERT_TRUE(chunks[0].metadata && chunks[0].metadata->key);
  EXPECT_EQ(chunks[0].metadata->key->size(), depth * 3);
}

TEST(FlattenJson, ContinuesPrefixAndCounter) {
  std::vector<ChunkResult> out = {{"earlier", 0, {}}};
  std::size_t counter = 5;
  ASSERT_TRUE(flatten_json(nlohmann::json::parse(R"({"x": [true]})"), "root", out, counter));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].index, 5u);
  EXPECT_EQ(counter, 6u);
  EXPECT_EQ(out[1].metadata, (ChunkMetadata{"root.x[0]", "true"}));

  // A non-finite number (only a program can build one) leaves `out` and the counter as they were.
  nlohmann::json with_infinity = {{"a", 1}, {"b", std::numeric_limits<double>::infinity()}};
  EXPECT_FALSE(flatten_json(with_infinity, "", out, counter));
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(counter, 6u);
}

TEST(Utf8, RepairReplacesEachMaximalIllFormedSubpart) {
  const std::string fffd = "\uFFFD";
  struct RepairCase {
    std::string in;
    std::string out;
  };
  for (const RepairCase& c : {
           RepairCase{"plain \u00e9\U0001F600", "plain \u00e9\U0001F600"},
           RepairCase{"a\xFF" "b", "a" + fffd + "b"},
           RepairCase{"\xE2\x82", fffd},                       // cut-short sequence: one
           RepairCase{"\xE2\x82z", fffd + "z"},
           RepairCase{"\xE0\x80", fffd + fffd},                // overlong: lead, then stray
           RepairCase{"\xED\xA0\x80", fffd + fffd + fffd},     // surrogate
           RepairCase{"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
           RepairCase{"\xC0\xAF", fffd + fffd},
           RepairCase{"\x80\x80", fffd + fffd},
       }) {
    std::string storage;
    EXPECT_EQ(detail::repair_utf8(c.in, storage), c.out);
  }
}

TEST(Utf8, TrimRemovesExactlyUnicodeWhiteSpace) {
  EXPECT_EQ(detail::trim("\u2000\u200A\u202F\u205F\u1680x y\u2029\u0085"), "x y");
  // U+200B and U+FEFF are not White_Space, nor is U+180E since Unicode 6.3.
  EXPECT_EQ(detail::trim("\u200Bx\uFEFF"), "\u200Bx\uFEFF");
  EXPECT_EQ(detail::trim("\u180Ex"), "\u180Ex");
}

TEST(ChunkStrategyFromName, SelectsByExactName) {
  EXPECT_TRUE(std::holds_alternative<ChunkStrategy::Fixed>(chunk_strategy_from_name("fixed", 8, 2)->kind));
  const auto recursive_strategy = chunk_strategy_from_name("recursive", 8, 2);
  ASSERT_TRUE(recursive_strategy);
  const auto& r = std::get<ChunkStrategy::Recursive>(recursive_strategy->kind);
  EXPECT_EQ(r.chunk_size, 8u);
  EXPECT_EQ(r.overlap, 2u);
  const auto md = chunk_strategy_from_name("markdown", 8, 3);
  ASSERT_TRUE(md);
  EXPECT_TRUE(std::get<ChunkStrategy::Markdown>(md->kind).preserve_headers);
  EXPECT_EQ(std::get<ChunkStrategy::Markdown>(md->kind).overlap, 3u);
  EXPECT_TRUE(chunk_strategy_from_name("semantic", 0, 0));
  EXPECT_TRUE(chunk_strategy_from_name("json", 0, 0));
  for (const char* unknown : {"Markdown", "json ", "", "token"}) {
    EXPECT_FALSE(chunk_strategy_from_name(unknown, 8, 2)) << unknown;
  }
}

TEST(Utf8Prefix, NeverEndsInsideACharacter) {
  const std::string ascii(60, 'a');
  EXPECT_EQ(utf8_prefix(ascii, 50), std::string(50, 'a'));
  EXPECT_EQ(utf8_prefix("short", 50), "short");
  const std::string text = std::string(49, 'a') + "\u00e9z";  // the 2-byte letter spans bytes 49-50
  EXPECT_EQ(utf8_prefix(text, 50), std::string(49, 'a'));
  EXPECT_EQ(utf8_prefix(text, 51), std::string(49, 'a') + "\u00e9");
}

// Random bytes, random UTF-8 fragments and markup for every strategy: nothing may crash or
// read out of bounds (run under AddressSanitizer), and every chunk must be well-formed UTF-8
// with its index in order.
TEST(ChunkMutation, RandomInputUnderEveryStrategy) {
  std::mt19937 rng{12345};
  const std::vector<std::string> pieces = {
      "# ", "## T", "\n", "\n\n", "\n\n\n", "```", "- ", "* ", " ", "\t", ".!?", ",;: ", "{",
      "}", "[", "]", "\"k\":", "1", "-2.5e3", ",", "null", "\u00e9", "\u3000", "\U0001F600",
      "\xE2\x82", "\xFF", "\x80", "\xF0\x9F", "\xED\xA0\x80", "word", std::string(1, '\0')};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = std::uniform_int_distribution<int>(0, 60)(rng);
    for (int i = 0; i < length; ++i) {
      if (rng() % 3 == 0) {
        text.push_back(static_cast<char>(rng() & 0xFF));
      } else {
        text += pieces[rng() % pieces.size()];
      }
    }
    const std::size_t size = rng() % 40;
    const std::size_t overlap = rng() % 8;
    for (const ChunkStrategy& s : every_strategy(size, overlap)) {
      const auto chunks = chunk(text, s);
      for (std::size_t i = 0; i < chunks.size(); ++i) {
        ASSERT_TRUE(detail::is_valid_utf8(chunks[i].text)) << "round " << round;
        ASSERT_EQ(chunks[i].index, i) << "round " << round;
      }
    }
    // The public helpers taking raw chunks or text directly are just as safe.
    std::vector<ChunkResult> raw = {{text, 0, {}}, {text.substr(text.size() / 2), 1, {}}};
    apply_overlap(raw, overlap + 1);
    (void)utf8_prefix(text, size);
  }
}

}  // namespace
}  // namespace tessaradb
