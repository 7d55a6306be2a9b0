// Behaviour of the index on small documents, checked for both strategies and
// every kernel at once.
#include "harness.h"
#include "support.h"

using namespace support;

namespace {

// Indexes `doc` with every strategy and kernel, checks that all agree, and
// returns the sequential scalar result.
IndexResult index_all(std::string_view doc) {
  IndexResult ref = index_sequential(bytes(doc), doc.size(), Kernel::Scalar);
  const std::string inline_diff = difference(ref, index_sequential_inline(bytes(doc), doc.size()));
  CHECK_MSG(inline_diff.empty(), "'" << doc << "' inline searches: " << inline_diff);
  for (Kernel k : available_kernels()) {
    for (int strategy = 0; strategy < 3; ++strategy) {
      IndexResult r = strategy == 0   ? index_sequential(bytes(doc), doc.size(), k)
                      : strategy == 1 ? index_quote_masked(bytes(doc), doc.size(), k)
                                      : build_structural_index(bytes(doc), doc.size(), k);
      std::string diff = difference(ref, r);
      CHECK_MSG(diff.empty(), "'" << doc << "' " << kernel_name(k) << " strategy " << strategy
                                  << ": " << diff);
    }
  }
  return ref;
}

struct Row {
  uint64_t start, end;
  TagKind kind;
  uint64_t name_start, name_length;
};

void check_rows(std::string_view doc, const std::vector<Row>& rows,
                const std::vector<std::pair<uint64_t, uint64_t>>& texts) {
  IndexResult r = index_all(doc);
  CHECK_MSG(r.ok(), "'" << doc << "' failed: " << r.error->text());
  if (!r.ok()) return;
  const StructuralIndex& ix = r.index;
  CHECK_MSG(ix.tag_count() == rows.size(), "'" << doc << "' has " << ix.tag_count() << " rows");
  for (size_t i = 0; i < rows.size() && i < ix.tag_count(); ++i) {
    CHECK_MSG(ix.tag_starts[i] == rows[i].start && ix.tag_ends[i] == rows[i].end &&
                  ix.tag_kinds[i] == rows[i].kind &&
                  ix.tag_names[i] == (NameRange{rows[i].name_start, rows[i].name_length}),
              "'" << doc << "' row " << i << ": " << ix.tag_starts[i] << "-" << ix.tag_ends[i]
                  << " kind " << int(ix.tag_kinds[i]) << " name " << ix.tag_names[i].start
                  << "+" << ix.tag_names[i].length);
  }
  CHECK_MSG(ix.text_ranges.size() == texts.size(),
            "'" << doc << "' has " << ix.text_ranges.size() << " text ranges");
  for (size_t i = 0; i < texts.size() && i < ix.text_ranges.size(); ++i)
    CHECK_MSG(ix.text_ranges[i].start == texts[i].first && ix.text_ranges[i].end == texts[i].second,
              "'" << doc << "' text " << i << ": " << ix.text_ranges[i].start << "-"
                  << ix.text_ranges[i].end);
}

std::string error_text(std::string_view doc) {
  IndexResult r = index_sequential(bytes(doc), doc.size(), Kernel::Scalar);
  return r.ok() ? "ok" : r.error->text();
}

}  // namespace

TEST(empty_document_has_no_rows) {
  IndexResult r = index_all("");
  CHECK(r.ok());
  CHECK_EQ(r.index.tag_count(), 0u);
  CHECK_EQ(r.index.text_ranges.size(), 0u);
  CHECK_EQ(choose_strategy(nullptr, 0), Strategy::Sequential);
}

TEST(start_and_empty_element_tags) {
  check_rows("<a/>", {{0, 3, TagKind::SelfClose, 1, 1}}, {});
  check_rows("<a / >", {{0, 5, TagKind::Open, 1, 1}}, {});
  check_rows("<a/b>", {{0, 4, TagKind::Open, 1, 1}}, {});
  check_rows("<>", {{0, 1, TagKind::Open, 1, 0}}, {});
  check_rows("<<a>", {{0, 3, TagKind::Open, 1, 2}}, {});  // the inner '<' is skipped
  check_rows("<a x=\"1>2\">t</a>",
             {{0, 10, TagKind::Open, 1, 1}, {12, 15, TagKind::Close, 14, 1}}, {{11, 12}});
  check_rows("<a x='\"/>' y=\"'\"/>", {{0, 17, TagKind::SelfClose, 1, 1}}, {});
  // An unmatched quote: the walk goes on two bytes after it.
  check_rows("<a b=\"x>", {{0, 7, TagKind::Open, 1, 1}}, {});
}

TEST(name_terminators) {
  check_rows("<a\f/>", {{0, 4, TagKind::SelfClose, 1, 1}}, {});
  check_rows("<a\v/>", {{0, 4, TagKind::SelfClose, 1, 2}}, {});
  check_rows("<n\xc3\xa9 x='1'>", {{0, 10, TagKind::Open, 1, 3}}, {});
  check_rows("</a\t >", {{0, 5, TagKind::Close, 2, 1}}, {});
  check_rows("</a\v>", {{0, 4, TagKind::Close, 2, 2}}, {});
  check_rows("<?pi\fdata?>", {{0, 10, TagKind::ProcessingInstruction, 2, 2}}, {});
}

TEST(comments_cdata_and_instructions) {
  check_rows("<!-- <b> -->", {{0, 11, TagKind::Comment, 0, 0}}, {});
  check_rows("<!---->x<b/>", {{0, 6, TagKind::Comment, 0, 0}, {8, 11, TagKind::SelfClose, 9, 1}},
             {{7, 8}});
  check_rows("<![CDATA[x]]>", {{0, 12, TagKind::CData, 0, 0}}, {{9, 10}});
  check_rows("<![CDATA[]]>", {{0, 11, TagKind::CData, 0, 0}}, {});
  check_rows("<![CDATA[a]]b]]]>", {{0, 16, TagKind::CData, 0, 0}}, {{9, 14}});
  check_rows("<?xml version=\"1.0\"?>", {{0, 20, TagKind::ProcessingInstruction, 2, 3}}, {});
  check_rows("<?>", {{0, 2, TagKind::ProcessingInstruction, 2, 0}}, {});
  check_rows("<?a?b>c?>", {{0, 8, TagKind::ProcessingInstruction, 2, 1}}, {});
  check_rows("<!DOCTYPE r>\n<r/>", {{13, 16, TagKind::SelfClose, 14, 1}}, {{12, 13}});
  check_rows("<!x", {}, {});  // a declaration without '>' ends at its '<'
}

TEST(unterminated_constructs_that_are_not_errors_here) {
  // Recorded with the ends the tree builder turns into its own messages.
  check_rows("<r><![CDATA[a]b", {{0, 2, TagKind::Open, 1, 1}, {3, 14, TagKind::CData, 0, 0}}, {});
  check_rows("<?pi x", {{0, 5, TagKind::ProcessingInstruction, 2, 2}}, {});
  check_rows("<?pi>", {{0, 4, TagKind::ProcessingInstruction, 2, 2}}, {});
}

TEST(errors) {
  CHECK_EQ(error_text("<a"), "Unclosed tag at byte 0");
  CHECK_EQ(error_text("<a></a"), "Unclosed tag at byte 3");
  CHECK_EQ(error_text("<a x='1'"), "Unclosed tag at byte 0");
  CHECK_EQ(error_text("</a "), "Unclosed tag at byte 0");
  CHECK_EQ(error_text("text <"), "Unclosed tag at byte 5");
  for (std::string_view doc : {"<r><!-- x", "<?pi", "<?", "<r><![CDATA[", "<r><![CDATA[a]", "<!--"}) {
    IndexResult r = index_all(doc);
    CHECK_MSG(!r.ok() && r.error->kind == StructuralIndexError::Kind::TruncatedInput,
              "'" << doc << "' gives " << (r.ok() ? "ok" : r.error->text()));
  }
  index_all("<a");  // all strategies agree on errors too
  index_all("<a></a");
  index_all("x<");
}

TEST(depths_and_parents) {
  std::string_view doc = "</z><r>t<a>x</a><b/><!--c--></r></r>";
  IndexResult r = index_all(doc);
  CHECK(r.ok());
  const StructuralIndex& ix = r.index;
  const std::vector<uint16_t> depths{0, 0, 1, 1, 1, 1, 0, 0};
  const std::vector<int32_t> parents{-1, -1, 1, 1, 1, 1, -1, -1};
  CHECK(ix.tag_depths == depths);
  CHECK(ix.tag_parents == parents);
  CHECK_EQ(ix.text_ranges.size(), 2u);
  if (ix.text_ranges.size() == 2) {
    CHECK_EQ(ix.text_ranges[0].parent, 1);  // "t" inside <r>
    CHECK_EQ(ix.text_ranges[1].parent, 2);  // "x" inside <a>
  }
  CHECK(ix.data == bytes(doc));
  CHECK_EQ(ix.length, doc.size());
}

TEST(strategy_choice_from_sample) {
  // 5 quotes per '<' exactly stays sequential; more goes to the bitmaps.
  std::string five = "<a b=\"\" c=\"\" d=\"x\"/>";  // 1 '<', 6 quotes
  CHECK_EQ(choose_strategy(bytes(five), five.size()), Strategy::QuoteMasked);
  std::string exact = "<a b=\"\" c=\"\" d=\"/>";  // 1 '<', 5 quotes
  CHECK_EQ(choose_strategy(bytes(exact), exact.size()), Strategy::Sequential);
  std::string no_lt(6, '"');
  CHECK_EQ(choose_strategy(bytes(no_lt), no_lt.size()), Strategy::QuoteMasked);
  // Only the first 4096 bytes count, and single quotes never do.
  std::string late = std::string(4096, ' ') + std::string(100, '"');
  CHECK_EQ(choose_strategy(bytes(late), late.size()), Strategy::Sequential);
  std::string single = "<a b='' c='' d='x'/>";
  CHECK_EQ(choose_strategy(bytes(single), single.size()), Strategy::Sequential);
}

TEST(apostrophe_in_text_of_quote_dense_document) {
  // The sample picks the bitmaps, yet the apostrophe in the text must not
  // hide the <b/> after it.
  std::string doc = "<r a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\" g=\"7\" h=\"8\">don't <b/> stop</r>";
  CHECK_EQ(choose_strategy(bytes(doc), doc.size()), Strategy::QuoteMasked);
  IndexResult r = build_structural_index(bytes(doc), doc.size());
  CHECK(r.ok());
  CHECK_EQ(r.index.tag_count(), 3u);
  CHECK(difference(r, index_sequential(bytes(doc), doc.size(), Kernel::Scalar)).empty());
  // The raw bitmaps still follow the quote machine over the whole text.
  MarkupBitmaps bm = classify_blocks(bytes(doc), doc.size(), best_kernel());
  const size_t b = doc.find("<b/>");
  CHECK_EQ(bm.lt_bits.size(), (doc.size() + 63) / 64);
  CHECK_EQ(bm.lt_bits[b / 64] & (uint64_t{1} << (b % 64)), 0u);
  CHECK(bm.lt_bits[0] & 1);
}
