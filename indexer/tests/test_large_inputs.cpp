// Sizes that cross block, chunk and integer-width boundaries.
#include <random>

#include "harness.h"
#include "index/structural.h"
#include "support.h"

using namespace support;

namespace {

void check_all_agree(const std::string& doc, const char* what) {
  IndexResult ref = index_sequential(bytes(doc), doc.size(), Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    for (int s = 0; s < 2; ++s) {
      IndexResult r = s ? index_quote_masked(bytes(doc), doc.size(), k)
                        : index_sequential(bytes(doc), doc.size(), k);
      std::string diff = difference(ref, r);
      CHECK_MSG(diff.empty(), what << " (" << doc.size() << " bytes) " << kernel_name(k)
                                   << " strategy " << s << ": " << diff);
    }
  }
}

}  // namespace

TEST(block_boundary_lengths) {
  // Documents of exactly these lengths, with a tag, a quoted '>' and a
  // comment slid across every offset near the end of a block.
  DocGenerator gen(64);
  for (size_t length : {64, 65, 127, 128, 4096}) {
    for (size_t shift = 0; shift < 40 && shift < length; ++shift) {
      std::string doc(length - shift > 30 ? length - shift - 30 : 0, 'x');
      doc += "<a k='>'/><!--'-->\"\"<b>";
      doc.resize(length, 'y');
      doc.replace(0, std::min(shift, doc.size()), std::string(std::min(shift, doc.size()), ' '));
      check_all_agree(doc, "sliding");
    }
    std::string doc = gen.document(length);
    if (doc.size() > length) doc.resize(length);
    while (doc.size() < length) doc += ' ';
    check_all_agree(doc, "generated");
  }
}

TEST(long_names_are_not_truncated) {
  const std::string name(70000, 'n');
  const std::string doc = "<" + name + " a='1'>x</" + name + "><?" + name + " d?>";
  check_all_agree(doc, "long names");
  IndexResult r = build_structural_index(bytes(doc), doc.size());
  CHECK(r.ok());
  CHECK_EQ(r.index.tag_count(), 3u);
  for (size_t i = 0; i < r.index.tag_count(); ++i) CHECK_EQ(r.index.tag_names[i].length, 70000u);
  const std::string quote_dense = "<" + name + std::string(200, ' ') + "a=\"\"b=\"\"c=\"\"/>";
  check_all_agree(quote_dense, "long name, bitmaps");
}

TEST(million_levels_of_nesting) {
  constexpr size_t kDepth = 1000000;
  std::string doc;
  doc.reserve(kDepth * 7 + 1);
  for (size_t i = 0; i < kDepth; ++i) doc += "<a>";
  doc += "t";
  for (size_t i = 0; i < kDepth; ++i) doc += "</a>";
  for (Kernel k : {Kernel::Scalar, best_kernel()}) {
    for (int s = 0; s < 2; ++s) {
      IndexResult r = s ? index_quote_masked(bytes(doc), doc.size(), k)
                        : index_sequential(bytes(doc), doc.size(), k);
      CHECK(r.ok());
      if (!r.ok()) continue;
      const StructuralIndex& ix = r.index;
      CHECK_EQ(ix.tag_count(), 2 * kDepth);
      // The depth counter wraps at 65,536; parents are exact row indices.
      CHECK_EQ(ix.tag_depths[65535], 65535);
      CHECK_EQ(ix.tag_depths[65536], 0);
      CHECK_EQ(ix.tag_depths[kDepth - 1], (kDepth - 1) % 65536);
      CHECK_EQ(ix.tag_parents[kDepth - 1], static_cast<int32_t>(kDepth - 2));
      CHECK_EQ(ix.tag_parents[kDepth], static_cast<int32_t>(kDepth - 2));  // first </a>
      CHECK_EQ(ix.tag_parents[2 * kDepth - 1], -1);
      CHECK_EQ(ix.text_ranges.size(), 1u);
      CHECK_EQ(ix.text_ranges[0].parent, static_cast<int32_t>(kDepth - 1));
      // The counter never goes below zero once the wrapped opens are closed.
      CHECK_EQ(ix.tag_depths[2 * kDepth - 1], 0);
    }
  }
}

TEST(large_documents_across_chunks) {
  // Comments, CDATA sections and attribute values spanning the 64 KiB chunks
  // the bitmaps are filled in.
  std::string doc = "<?xml version=\"1.0\"?><r>";
  std::mt19937_64 rng(8);
  while (doc.size() < 600000) {
    switch (rng() % 4) {
      case 0: doc += "<!--" + std::string(rng() % 100000, '-') + "x-->"; break;
      case 1: doc += "<![CDATA[" + std::string(rng() % 70000, '>') + "]]>"; break;
      case 2: doc += "<v a=\"" + std::string(rng() % 70000, '<') + "\"/>"; break;
      default: doc += "<w x=\"1\" y=\"2\" z=\"3\">t</w>"; break;
    }
  }
  doc += "</r>";
  check_all_agree(doc, "chunks");
  IndexResult r = build_structural_index(bytes(doc), doc.size());
  CHECK(r.ok());
}

TEST(ranges_longer_than_the_bitmap_window) {
  // Questions about ranges longer than the bitmap ring holds are answered
  // from the text: a long gap of text with paired quotes (kept on the bitmap
  // path), the same gap with a lone apostrophe hiding a tag (deferred), and
  // a start-tag name longer than the ring.
  std::string attrs;
  for (int i = 0; i < 40; ++i) attrs += " a" + std::to_string(i) + "=\"v\"";
  const std::string head = "<r" + attrs + ">";
  std::string paired = head + std::string(300000, 't') + "\"q\"" + std::string(300000, 't') +
                       "<b/>" + std::string(200000, 'u') + "</r>";
  check_all_agree(paired, "long paired gap");
  std::string lone = head + std::string(300000, 't') + "'" + std::string(300000, 't') + "<b/>" +
                     std::string(200000, 'u') + "</r>";
  check_all_agree(lone, "long lone gap");
  const std::string name(300000, 'n');
  std::string long_name = head + "<" + name + attrs + "/>" + "<" + name + "\"" + attrs + "/></r>";
  check_all_agree(long_name, "long name with quotes");
  IndexResult r = build_structural_index(bytes(paired), paired.size());
  CHECK(r.ok() && r.index.tag_count() == 3);
}

TEST(more_rows_than_the_limit) {
  // Rows and parents are 32-bit: past the row limit the index is refused with the offset of
  // the first tag over it, by both strategies and every kernel. The limit is lowered to see it
  // work without a document of two billion tags.
  const size_t saved = tessary::index::detail::tag_row_limit();
  CHECK_EQ(saved, kMaxTagRows);
  std::string doc = "<r>";
  std::vector<uint64_t> starts = {0};
  for (int i = 0; i < 300; ++i) {
    starts.push_back(doc.size());
    doc += "<e a=\"\" b=\"\" c=\"\"/>";  // quote-dense: the bitmap strategy
  }
  starts.push_back(doc.size());
  doc += "</r>";
  const size_t rows = starts.size();
  for (size_t limit : {rows, rows - 1, size_t{1}, size_t{0}}) {
    tessary::index::detail::set_tag_row_limit(limit);
    for (Kernel k : available_kernels()) {
      for (int s = 0; s < 3; ++s) {
        IndexResult r = s == 0   ? index_sequential(bytes(doc), doc.size(), k)
                        : s == 1 ? index_quote_masked(bytes(doc), doc.size(), k)
                                 : build_structural_index(bytes(doc), doc.size(), k);
        if (limit >= rows) {
          CHECK(r.ok() && r.index.tag_count() == rows);
          continue;
        }
        CHECK(!r.ok() && r.error->kind == StructuralIndexError::Kind::TooManyTags);
        const uint64_t at = starts[limit];  // the first row past the limit
        CHECK_EQ(r.error->offset, at);
        CHECK_EQ(r.error->text(), "More than 2147483647 tags: the tag at byte " + std::to_string(at) +
                                      " is past the limit");
      }
    }
  }
  tessary::index::detail::set_tag_row_limit(size_t{1} << 40);  // clamped to the real limit
  CHECK_EQ(tessary::index::detail::tag_row_limit(), kMaxTagRows);
  CHECK_EQ((StructuralIndexError{StructuralIndexError::Kind::OutOfMemory, 0}.text()), "Out of memory");
}
