// The two strategies against each other.
#include <random>

#include "harness.h"
#include "index/structural.h"
#include "simd/kernels.h"
#include "support.h"

using namespace support;

namespace {

// Checks that every kernel and strategy gives the scalar sequential result.
void check_agree(const std::string& doc, const char* what) {
  IndexResult ref = index_sequential(bytes(doc), doc.size(), Kernel::Scalar);
  for (Kernel k : available_kernels()) {
    IndexResult a = index_sequential(bytes(doc), doc.size(), k);
    IndexResult b = index_quote_masked(bytes(doc), doc.size(), k);
    IndexResult c = build_structural_index(bytes(doc), doc.size(), k);
    std::string da = difference(ref, a), db = difference(ref, b), dc = difference(ref, c);
    CHECK_MSG(da.empty() && db.empty() && dc.empty(),
              what << " " << kernel_name(k) << ": " << da << " | " << db << " | " << dc
                   << "\n  doc: " << doc.substr(0, 300));
  }
}

// Whether the bitmap walk produced the result itself (rather than deferring
// to the sequential strategy).
bool bitmap_walk_used(const std::string& doc) {
  return tessary::index::detail::try_quote_masked(bytes(doc), doc.size(),
                                                  tessary::index::simd::ops_or_scalar(best_kernel()))
      .has_value();
}

}  // namespace

TEST(agree_on_quotes_outside_tags) {
  const char* docs[] = {
      "<r>don't <b/> stop</r>",
      "<r>\"<b/>\"</r>",
      "<r><!-- it's --><b/><!-- \" --><c/></r>",
      "<r><![CDATA[ ' ]]><b/><![CDATA[ \" <x> ]]></r>",
      "<?pi it's?><r a='1'/><?pi \"?>",
      "<!DOCTYPE r [<!ENTITY e \"<b>x</b>\">]><r/>",
      "<!DOCTYPE r [<!-- c --><?p?>]><r/>",
      "<r></r x='>'>",
      "<a\"b>c\">",
      "<r a='1' b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">it's '<b/>'</r>",
  };
  for (const char* d : docs) check_agree(d, "fixed");
}

TEST(agree_on_random_well_formed_documents) {
  DocGenerator gen(2024);
  for (int i = 0; i < 300; ++i) {
    const size_t size = 100 + gen.pick(i < 280 ? 6000 : 200000);
    std::string doc = gen.document(size);
    check_agree(doc, "generated");
  }
}

TEST(bitmap_walk_is_exact_when_quotes_outside_tags_pair_up) {
  DocGenerator gen(99);
  int walked = 0;
  for (int i = 0; i < 100; ++i) {
    std::string doc = gen.document(100 + gen.pick(20000), /*lone_quotes=*/false);
    check_agree(doc, "paired quotes");
    walked += bitmap_walk_used(doc);
  }
  // Those documents never hide markup behind a quote (XML declarations,
  // quoted words in text, quotes in comments and DOCTYPEs included), so the
  // walk must never have deferred.
  CHECK_EQ(walked, 100);
  CHECK(bitmap_walk_used("<?xml version='1.0'?><r a='x\"y'>say \"hi\" <b/></r>"));
  CHECK(bitmap_walk_used("<r/>it's"));  // hides nothing the lexer uses
  // A quote that hides markup makes it defer.
  CHECK(!bitmap_walk_used("<r>don't <b/></r>"));
  CHECK(!bitmap_walk_used("<r>don't</r>"));
  CHECK(!bitmap_walk_used("<r><!-- \" --><b/></r>"));
  CHECK(!bitmap_walk_used("<r/>'<b/>"));
  CHECK(!bitmap_walk_used("<r></r x='>'>"));
}

TEST(agree_on_mutated_and_random_inputs) {
  // Malformed inputs may differ between the strategies by design; this
  // implementation defers to the sequential strategy wherever they could,
  // so they agree on these too.
  DocGenerator gen(5);
  std::mt19937_64 rng(17);
  static const char interesting[] = "<>\"'/!?-[]CDAT \n";
  for (int i = 0; i < 1500; ++i) {
    std::string doc = gen.document(50 + gen.pick(600));
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !doc.empty(); ++e) {
      const size_t pos = rng() % doc.size();
      switch (rng() % 4) {
        case 0: doc[pos] = interesting[rng() % (sizeof interesting - 1)]; break;
        case 1: doc.erase(pos, 1 + rng() % 8); break;
        case 2: doc.insert(pos, 1, interesting[rng() % (sizeof interesting - 1)]); break;
        default: doc.resize(pos); break;
      }
    }
    check_agree(doc, "mutated");
  }
  for (int i = 0; i < 2000; ++i) {
    std::string doc(rng() % 200, ' ');
    for (char& c : doc) c = interesting[rng() % (sizeof interesting - 1)];
    check_agree(doc, "random");
  }
}
