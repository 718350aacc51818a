// The markdown strategy: fenced code blocks become a marker, header lines start sections,
// list items are kept on their own lines under a header, and sections are cut at 2048 bytes.

#include <cstdint>
#include <memory>
#include <string>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "chunker/strategies.hpp"
#include "chunker/utf8.hpp"

namespace tessaradb::detail {

namespace {

constexpr std::string_view kHeaderPattern = R"((?m)^(#{1,6}\s+.+)$)";
constexpr std::string_view kListItemPattern = R"((?m)^[\s]*[-*+]\s+)";
constexpr std::string_view kCodeBlockPattern = R"((?s)```[\s\S]*?```)";
constexpr std::string_view kFence = "```";

struct CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct MatchContextDeleter {
  void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
using Code = std::unique_ptr<pcre2_code, CodeDeleter>;
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;
using MatchContext = std::unique_ptr<pcre2_match_context, MatchContextDeleter>;

// UTF + UCP: the subject is UTF-8 and \s is Unicode white space. Newlines are LF only, so `^`
// and `$` in multi-line mode and `.` react to "\n" alone, as the line splitting below does.
Code compile(std::string_view pattern) {
  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  if (context != nullptr) pcre2_set_newline(context, PCRE2_NEWLINE_LF);
  int error = 0;
  PCRE2_SIZE offset = 0;
  Code code{pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                          PCRE2_UTF | PCRE2_UCP, &error, &offset, context)};
  pcre2_compile_context_free(context);
  // JIT is an optimisation: when it is unavailable the interpreter gives the same matches.
  if (code) pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
  return code;
}

// Compiled once per process (thread-safe static initialisation) and then only read: PCRE2
// allows one compiled pattern to be matched from many threads at once. Match data and the
// match context belong to each call.
struct Patterns {
  Code header = compile(kHeaderPattern);
  Code list_item = compile(kListItemPattern);
  Code code_block = compile(kCodeBlockPattern);
};

const Patterns& patterns() {
  static const Patterns instance;
  return instance;
}

// One call's matcher. The subject is always well-formed UTF-8 (chunk() repairs its input),
// so the per-match UTF check, which would rescan the subject on every call, is skipped.
class Matcher {
 public:
  // One match block serves all three patterns: only the whole match's bounds are read, and
  // PCRE2 reports them even when a pattern has more groups than the block has room for.
  Matcher()
      : context_(pcre2_match_context_create(nullptr)), data_(pcre2_match_data_create(2, nullptr)) {
    // The lazy code-block scan takes one step per byte of a block; the default limit of ten
    // million steps would stop it inside large documents.
    if (context_) pcre2_set_match_limit(context_.get(), UINT32_MAX);
  }

  // Finds the first match of `code` in `subject` at or after `from`: its [start, end), or
  // nothing. A pattern that failed to compile, or a match that fails with an error (e.g. out
  // of memory), reads as no match: the text then passes through unchanged.
  bool find(const Code& code, std::string_view subject, std::size_t from, std::size_t& start,
            std::size_t& end) {
    if (!code || !data_) return false;
    const int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(subject.data()),
                               subject.size(), from, PCRE2_NO_UTF_CHECK, data_.get(),
                               context_.get());
    if (rc < 0) return false;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data_.get());
    start = ovector[0];
    end = ovector[1];
    return start <= end && end <= subject.size();
  }

  bool matches(const Code& code, std::string_view subject) {
    std::size_t start = 0, end = 0;
    return find(code, subject, 0, start, end);
  }

 private:
  MatchContext context_;
  MatchData data_;
};

// Every fenced block, left to right without overlap, becomes the marker.
std::string replace_code_blocks(std::string_view text, Matcher& matcher) {
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0, start = 0, end = 0;
  while (from < text.size() &&
         matcher.find(patterns().code_block, text, from, start, end) && end > start) {
    out.append(text.substr(from, start - from));
    out.append(kCodeBlockMarker);
    from = end;
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace

std::vector<ChunkResult> chunk_markdown(std::string_view text, bool preserve_headers,
                                        std::size_t overlap) {
  Matcher matcher;
  const Patterns& p = patterns();
  const std::string body = replace_code_blocks(text, matcher);

  std::vector<ChunkResult> out;
  std::string current;
  std::string header;
  // True while `current` holds nothing but the header carried over after a size cut. Such a
  // chunk would repeat the header of the chunk just emitted and carry no text of its own, so
  // it is not emitted.
  bool only_carried_header = false;
  const auto emit = [&] {
    if (current.empty() || only_carried_header) return;
    const std::string_view trimmed = trim(current);
    out.push_back(ChunkResult{std::string(trimmed), out.size(), std::nullopt});
  };

  const std::string_view all = body;
  std::size_t begin = 0;
  while (begin <= all.size()) {
    const std::size_t newline = all.find('\n', begin);
    const std::size_t stop = newline == std::string_view::npos ? all.size() : newline;
    const std::string_view line = trim(all.substr(begin, stop - begin));
    begin = stop + 1;
    if (line.empty()) continue;

    if (matcher.matches(p.header, line)) {
      emit();
      header.assign(line);
      if (preserve_headers) {
        current.assign(line);
      } else {
        current.clear();
      }
      only_carried_header = false;
    } else if (matcher.matches(p.list_item, line)) {
      if (!header.empty() && !current.empty()) current.push_back('\n');
      current.append(line);
      only_carried_header = false;
    } else if (line.substr(0, kFence.size()) == kFence) {
      continue;  // a fence without its partner, left over by the code-block replacement
    } else {
      current.push_back(' ');
      current.append(line);
      only_carried_header = false;
    }

    if (current.size() > kMaxMergedChunkBytes) {
      emit();
      // The section goes on: its next chunk starts with the header again.
      if (preserve_headers && !header.empty()) {
        current = header;
        only_carried_header = true;
      } else {
        current.clear();
      }
    }
  }
  emit();
  apply_overlap(out, overlap);
  return out;
}

}  // namespace tessaradb::detail
