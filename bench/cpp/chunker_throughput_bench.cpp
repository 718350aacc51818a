// Chunking throughput: a 10 MB markdown text, a 10 MB plain text and a 10 MB JSON document
// under each strategy (MB/s, median of several runs), plus many calls on a small markdown
// text, which shows the per-call cost that a per-call expression compile would add.

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_util.hpp"
#include "chunker/chunker.hpp"

namespace {

using tessaradb::ChunkStrategy;

constexpr std::size_t kTargetBytes = 10u << 20;

std::string random_words(std::mt19937& rng, int count) {
  static const std::vector<std::string> words = {
      "memory", "vector", "graph",  "agent",  "embedding", "the",     "of",   "query",
      "index",  "store",  "recall", "search", "na\u00efve", "caf\u00e9", "\u65e5\u672c", "node"};
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i) out += ' ';
    out += words[rng() % words.size()];
  }
  return out;
}

std::string plain_text(std::mt19937& rng) {
  std::string text;
  while (text.size() < kTargetBytes) {
    const int sentences = 2 + static_cast<int>(rng() % 6);
    for (int s = 0; s < sentences; ++s) text += random_words(rng, 8 + static_cast<int>(rng() % 12)) + ". ";
    text += "\n\n";
  }
  return text;
}

std::string markdown_text(std::mt19937& rng) {
  std::string text;
  int section = 0;
  while (text.size() < kTargetBytes) {
    text += std::string(1 + rng() % 3, '#') + " Section " + std::to_string(section++) + "\n\n";
    text += random_words(rng, 40 + static_cast<int>(rng() % 60)) + "\n";
    text += random_words(rng, 30) + "\n\n";
    for (int i = 0; i < 4; ++i) text += "- " + random_words(rng, 6) + "\n";
    if (rng() % 2) text += "\n```python\ndef f(x):\n    return x * 2\n```\n\n";
    text += random_words(rng, 50) + "\n\n";
  }
  return text;
}

std::string json_text(std::mt19937& rng) {
  std::string text = "{\"records\": [";
  int id = 0;
  while (text.size() < kTargetBytes) {
    if (id) text += ", ";
    text += "{\"id\": " + std::to_string(id++) + ", \"score\": " + std::to_string((rng() % 10000) / 100.0) +
            ", \"tags\": [\"a\", \"b\"], \"text\": \"" + random_words(rng, 12) + "\", \"ok\": true}";
  }
  return text + "]}";
}

struct Named {
  const char* name;
  ChunkStrategy strategy;
};

}  // namespace

int main() {
  std::mt19937 rng{7};
  const std::string markdown = markdown_text(rng);
  const std::string plain = plain_text(rng);
  const std::string json = json_text(rng);
  const std::vector<Named> strategies = {
      {"fixed 512/50", {ChunkStrategy::Fixed{512, 50}}},
      {"recursive 512/50", {ChunkStrategy::Recursive{512, 50}}},
      {"semantic 50", {ChunkStrategy::Semantic{50}}},
      {"markdown 50", {ChunkStrategy::Markdown{true, 50}}},
      {"json", {ChunkStrategy::Json{0}}},
  };
  const int repetitions = 5;

  std::printf("%-10s %-18s %10s %10s %10s\n", "input", "strategy", "MB", "median ms", "MB/s");
  const auto run = [&](const char* input_name, const std::string& text, const Named& s) {
    std::size_t chunks = 0;
    const double seconds = tessaradb::bench::median_seconds(
        repetitions, [&] { chunks = tessaradb::chunk(text, s.strategy).size(); });
    const double mb = static_cast<double>(text.size()) / (1u << 20);
    std::printf("%-10s %-18s %10.1f %10.1f %10.1f   (%zu chunks)\n", input_name, s.name, mb,
                seconds * 1e3, mb / seconds, chunks);
  };
  for (const Named& s : strategies) run("markdown", markdown, s);
  for (const Named& s : strategies) run("plain", plain, s);
  run("json", json, strategies.back());

  // Many small calls: the expressions are compiled once per process, so a call on a 1 KB text
  // costs about what its bytes cost.
  const std::string small = markdown.substr(0, 1024);
  const int calls = 20000;
  const ChunkStrategy md{ChunkStrategy::Markdown{true, 50}};
  const double seconds = tessaradb::bench::median_seconds(repetitions, [&] {
    for (int i = 0; i < calls; ++i) (void)tessaradb::chunk(small, md);
  });
  std::printf("markdown on a 1 KB text: %.2f us per call (%d calls)\n", seconds / calls * 1e6,
              calls);
  return 0;
}
