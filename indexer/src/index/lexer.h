// The sequential lexer: jumps from one '<' to the next and finds where each piece of markup
// ends, reporting every piece and every run of character data between them, in document order,
// to a receiver as it goes. Written once over two policies:
//
//   Find      how a byte is searched for: `template <uint8_t C> const uint8_t* find(p, end)`,
//             the first C in [p, end) or end. `OpsFind` goes through a kernel's primitive table
//             (the index tables, where every kernel is compared with its twin); `InlineFind`
//             uses the compiler's target primitives inline (the reader's hot loop).
//   Receiver  what is done with each piece:
//               text(start, end)                     character data [start, end), which a '<'
//                                                    follows
//               tag(kind, start, end, name_start, name_length)
//                                                    Open, Close, SelfClose, Comment or
//                                                    ProcessingInstruction from its '<' to the
//                                                    byte it ends on (inclusive)
//               cdata(start, end, content_end)       a CDATA section; its content is
//                                                    [start + 9, content_end), empty when
//                                                    content_end <= start + 9 (always so for an
//                                                    unterminated section)
//             Declarations (<!DOCTYPE ...>) are stepped over without a report.
//             A receiver may also read start tags itself:
//               start_tag_fast(start, name_end, end, kind)
//                                                    for the start tag at `start` whose name ends
//                                                    at name_end: true when it has found the end
//                                                    and kind the walk below would find (the tag
//                                                    is then reported as usual), false to leave
//                                                    the tag to that walk.
//
// The index tables (structural_index.h) are one receiver; the reader's tree builder is another,
// which builds the tree while the document is lexed instead of reading tables afterwards.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "index/structural_index.h"
#include "simd/bytes.h"
#include "simd/kernels.h"

namespace tessary::index {

// Where a run of the lexer ended. Unclosed and Truncated are the index errors of the same
// names; `at` is the unclosed tag's '<'.
struct LexOutcome {
  enum class Kind : uint8_t { Done, Unclosed, Truncated } kind;
  uint64_t at;
};

namespace lex {

enum CharClass : uint8_t {
  kStartNameEnd = 1,  // ASCII whitespace, '/', '>'
  kEndNameEnd = 2,    // ASCII whitespace, '>'
  kPiTargetEnd = 4,   // ASCII whitespace, '>', '?'
  kTagWalk = 8,       // what the start-tag walk stops at: '"', '\'', '/', '>'
  kSpace = 16,        // ASCII whitespace: tab, LF, FF, CR, space (not VT)
};

struct CharTable {
  uint8_t cls[256] = {};
  constexpr CharTable() {
    for (uint8_t c : {0x09, 0x0A, 0x0C, 0x0D, 0x20}) cls[c] = kStartNameEnd | kEndNameEnd | kPiTargetEnd | kSpace;
    cls[uint8_t('/')] = kStartNameEnd | kTagWalk;
    cls[uint8_t('>')] = kStartNameEnd | kEndNameEnd | kPiTargetEnd | kTagWalk;
    cls[uint8_t('?')] = kPiTargetEnd;
    cls[uint8_t('"')] = kTagWalk;
    cls[uint8_t('\'')] = kTagWalk;
  }
};
inline constexpr CharTable kChars;

// First offset in [from, limit) whose byte is in class `c`, else `limit` (also when
// from >= limit).
inline size_t scan_until(const uint8_t* d, size_t from, size_t limit, uint8_t c) {
  size_t i = from;
  while (i < limit && (kChars.cls[d[i]] & c) == 0) ++i;
  return i < limit ? i : limit;
}

inline bool is_comment_open(const uint8_t* d, size_t n, size_t s) {
  return s + 4 <= n && d[s + 2] == '-' && d[s + 3] == '-';
}

inline bool is_cdata_open(const uint8_t* d, size_t n, size_t s) {
  return s + 9 <= n && std::memcmp(d + s + 2, "[CDATA[", 7) == 0;
}

}  // namespace lex

// Searches through a kernel's primitive table; classes of bytes a byte at a time.
struct OpsFind {
  const simd::KernelOps* ops;
  template <uint8_t C>
  const uint8_t* find(const uint8_t* p, const uint8_t* end) const {
    return ops->find_byte(p, end, C);
  }
  // First offset in [from, limit) whose byte is in class `Class`, else limit.
  template <uint8_t Class>
  size_t scan(const uint8_t* d, size_t from, size_t limit) const {
    return lex::scan_until(d, from, limit, Class);
  }
};

// Searches with the compiler's target primitives, inlined; the classes that end names and
// start-tag walks are searched a vector at a time too, as sets of the same bytes.
struct InlineFind {
  template <uint8_t C>
  const uint8_t* find(const uint8_t* p, const uint8_t* end) const {
    return tessary::simd::find_any<C>(p, end);
  }
  template <uint8_t Class>
  size_t scan(const uint8_t* d, size_t from, size_t limit) const {
    namespace s = tessary::simd;
    if (from >= limit) return limit;
    const uint8_t* p = d + from;
    const uint8_t* e = d + limit;
    if constexpr (Class == lex::kStartNameEnd || Class == lex::kEndNameEnd) {
      // Names end at white space or '>' (or '/'): every byte up to the space is found by one
      // compare, and a control byte among them, which ends nothing, is stepped over. (Every
      // byte found from the space up is one of the class.)
      for (;; ++p) {
        p = Class == lex::kStartNameEnd ? s::find_low_or_any<0x20, '/', '>'>(p, e) : s::find_low_or_any<0x20, '>'>(p, e);
        if (p == e || *p >= 0x20 || (lex::kChars.cls[*p] & Class) != 0) return static_cast<size_t>(p - d);
      }
    } else if constexpr (Class == lex::kTagWalk) {
      return static_cast<size_t>(s::find_any<'"', '\'', '/', '>'>(p, e) - d);
    } else {
      return lex::scan_until(d, from, limit, Class);
    }
  }
};

// Where constructs end, shared by both strategies. `s` is the offset of the '<'.
template <class Find>
struct Searcher {
  const uint8_t* d;
  size_t n;
  Find f;

  // First C at or after `from` (from <= n), or n.
  template <uint8_t C>
  size_t find(size_t from) const {
    return static_cast<size_t>(f.template find<C>(d + from, d + n) - d);
  }
  // First byte of class `Class` (lex::CharClass) in [from, n), or n.
  template <uint8_t Class>
  size_t scan(size_t from) const {
    return f.template scan<Class>(d, from, n);
  }
  // The same for the quote byte q ('"' or '\'').
  size_t find_quote(size_t from, uint8_t q) const { return q == '"' ? find<'"'>(from) : find<'\''>(from); }

  // First `>` at or after `from` whose two preceding bytes are `a`, `a`; n if none. Used for
  // "-->" and "]]>": the first such '>' closes the first occurrence of the three-byte
  // terminator.
  size_t find_closer(size_t from, uint8_t a) const {
    while (from < n) {
      size_t p = find<'>'>(from);
      if (p == n) break;
      if (d[p - 1] == a && d[p - 2] == a) return p;
      from = p + 1;
    }
    return n;
  }

  // `<!--`: the '>' of the first "-->" starting at or after s + 4, or n.
  size_t comment_end(size_t s) const { return find_closer(s + 6, '-'); }

  // `<![CDATA[`: the '>' of the first "]]>" starting at or after s + 9, or n.
  size_t cdata_close(size_t s) const { return find_closer(s + 11, ']'); }

  // An unterminated CDATA section ends just after the last ']' of its content (the search
  // examines every one), or right after "<![CDATA[".
  size_t cdata_unterminated_end(size_t s) const {
    for (size_t i = n; i > s + 9; --i)
      if (d[i - 1] == ']') return i;
    return s + 9;
  }

  struct Pi {
    size_t target_end;
    size_t end;
  };
  // `<?`: the target runs to the first whitespace, '>' or '?'. With at least one byte after it,
  // the end is the '>' of the first "?>" from there (or the last byte); otherwise the end is
  // the terminator itself, possibly n.
  Pi pi(size_t s) const {
    size_t t = scan<lex::kPiTargetEnd>(s + 2);
    if (t + 1 >= n) return {t, t};
    size_t from = t + 1;
    while (from < n) {
      size_t p = find<'>'>(from);
      if (p == n) break;
      if (d[p - 1] == '?') return {t, p};
      from = p + 1;
    }
    return {t, n - 1};
  }
};

template <class R>
concept ReadsStartTags = requires(R& r, uint64_t a, uint64_t& b, TagKind& k) {
  { r.start_tag_fast(a, a, b, k) } -> std::same_as<bool>;
};

// Lexes [from, n) of the document d (from is 0, or one past the end of a construct), reporting
// to `out`.
template <class Find, class Receiver>
LexOutcome lex_sequential(const uint8_t* d, size_t n, size_t from, const Find& find, Receiver& out) {
  const Searcher<Find> sr{d, n, find};
  size_t l = from;  // resume position: one past the previous construct's end
  for (;;) {
    if (l == n) break;
    if (l > n) return {LexOutcome::Kind::Truncated, 0};
    const size_t s = sr.template find<'<'>(l);
    if (s == n) break;
    if (l < s) out.text(l, s);
    if (s + 1 >= n) return {LexOutcome::Kind::Unclosed, s};
    const uint8_t c = d[s + 1];
    size_t end;
    if (c == '!') {
      if (lex::is_comment_open(d, n, s)) {
        end = sr.comment_end(s);
        out.tag(TagKind::Comment, s, end, 0, 0);
      } else if (lex::is_cdata_open(d, n, s)) {
        const size_t close = sr.cdata_close(s);
        if (close != n) {
          end = close;
          out.cdata(s, end, close - 2);
        } else {
          end = sr.cdata_unterminated_end(s);
          out.cdata(s, end, s + 9);
        }
      } else {
        // A declaration such as <!DOCTYPE ...>: not reported, ends at the first '>'.
        const size_t g = sr.template find<'>'>(s + 2);
        end = g < n ? g : s;
      }
    } else if (c == '/') {
      const size_t t = sr.template scan<lex::kEndNameEnd>(s + 2);
      if (t == n) return {LexOutcome::Kind::Unclosed, s};
      end = d[t] == '>' ? t : sr.template find<'>'>(t);
      if (end == n) return {LexOutcome::Kind::Unclosed, s};
      out.tag(TagKind::Close, s, end, s + 2, t - (s + 2));
    } else if (c == '?') {
      const auto p = sr.pi(s);
      end = p.end;
      out.tag(TagKind::ProcessingInstruction, s, end, s + 2, p.target_end - (s + 2));
    } else {
      const size_t t = sr.template scan<lex::kStartNameEnd>(s + 1);
      if (t == n) return {LexOutcome::Kind::Unclosed, s};
      TagKind kind;
      if constexpr (ReadsStartTags<Receiver>) {
        uint64_t e;
        if (out.start_tag_fast(s, t, e, kind)) {
          out.tag(kind, s, e, s + 1, t - (s + 1));
          l = static_cast<size_t>(e) + 1;
          continue;
        }
      }
      // Walk the attributes, jumping over quoted values.
      size_t i = t;
      for (;;) {
        i = sr.template scan<lex::kTagWalk>(i);
        if (i >= n) return {LexOutcome::Kind::Unclosed, s};
        const uint8_t b = d[i];
        if (b == '>') {
          kind = TagKind::Open;
          break;
        }
        if (b == '/') {
          if (i + 1 < n && d[i + 1] == '>') {
            kind = TagKind::SelfClose;
            ++i;
            break;
          }
          ++i;
          continue;
        }
        const size_t close = sr.find_quote(i + 1, b);
        // Without a matching quote the walk goes on at the second byte after the opening one.
        i = close < n ? close + 1 : i + 2;
      }
      end = i;
      out.tag(kind, s, end, s + 1, t - (s + 1));
    }
    l = end + 1;
  }
  return {LexOutcome::Kind::Done, 0};
}

}  // namespace tessary::index
