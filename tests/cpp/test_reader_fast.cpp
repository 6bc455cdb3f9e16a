// The vectorised reader against the byte-loop oracle of reader_oracle.hpp:
// generated and damaged documents, every configuration, every vector width
// the CPU has, skips with read_to_end at random points. Events (kind, error,
// content as a range of the input, name length), positions, depths,
// encodings and skip results must all be equal, and the scan kernels must
// agree with byte loops at every length and alignment.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "reader_oracle.hpp"
#include "xml/reader.hpp"
#include "xml/scan.hpp"

using namespace quelmar;
namespace scan = quelmar::xml_scan;

namespace {

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        s += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = s;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n ? static_cast<std::size_t>(next() % n) : 0; }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <class T, std::size_t N>
    const T& pick(const T (&a)[N]) { return a[below(N)]; }
};

// The widths to test: every one up to the best the CPU has.
std::vector<scan::Isa> widths() {
    const scan::Isa best = scan::limit_isa(scan::Isa::Avx2);
    std::vector<scan::Isa> out;
    for (scan::Isa i : {scan::Isa::Word, scan::Isa::Sse2, scan::Isa::Avx2})
        if (i <= best) out.push_back(i);
    return out;
}

// Runs `fn` once per width, then restores the best one.
template <class F>
void for_each_width(F fn) {
    for (scan::Isa w : widths()) {
        scan::limit_isa(w);
        fn(w);
    }
    scan::limit_isa(scan::Isa::Avx2);
}

// ---------------------------------------------------------------------------
// Documents

const char* const kNames[] = {"a", "b", "ab", "a:b", "aa", "x.y"};

std::string gen_name(Rng& r) {
    if (r.chance(4)) return std::string(20 + r.below(30), 'n');  // crosses vector blocks
    return r.pick(kNames);
}

std::string gen_ws(Rng& r) {
    static const char* const ws[] = {" ", " ", "\t", "\n", "\r\n", "  \n\t "};
    return r.pick(ws);
}

std::string gen_chars(Rng& r, const char* alphabet, std::size_t max_len) {
    const std::size_t alen = std::strlen(alphabet);
    std::size_t n = r.below(max_len + 1);
    if (r.chance(10)) n += 40 + r.below(80);
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += alphabet[r.below(alen)];
    return s;
}

std::string gen_attrs(Rng& r) {
    std::string s;
    const std::size_t n = r.below(4);
    for (std::size_t i = 0; i < n; ++i) {
        s += gen_ws(r);
        s += r.chance(50) ? "k" + std::to_string(i) : "a";  // duplicates too
        if (r.chance(20)) s += gen_ws(r);
        s += '=';
        const char q = r.chance(50) ? '"' : '\'';
        s += q;
        // Values holding markup characters, the other quote, white space.
        s += gen_chars(r, q == '"' ? "ab<>/ ='\t&" : "ab<>/ =\"\n&", 12);
        s += q;
    }
    if (r.chance(20)) s += gen_ws(r);
    return s;
}

void gen_misc(Rng& r, std::string& out) {
    switch (r.below(7)) {
        case 0: out += "<!--" + gen_chars(r, "ab<>/-! ", 10) + "<a></b>" + gen_chars(r, "-", 1) + " -->"; break;
        case 1: out += "<![CDATA[" + gen_chars(r, "ab<>]/ ", 10) + "<a>]]]>"; break;
        case 2: out += "<?p " + gen_chars(r, "ab<>? ", 10) + "?>"; break;
        case 3: out += r.chance(50) ? "<?xml version=\"1.0\" encoding=\"latin1\"?>" : "<?xml?>"; break;
        case 4: out += "<!DOCTYPE d [ <!ENTITY e \"]>\"> <!-- ] --> ]>"; break;
        case 5: out += "&amp;" + gen_chars(r, "ab &;", 6); break;
        default: out += gen_chars(r, "ab >/=\"'\n", 30); break;
    }
}

void gen_element(Rng& r, int depth, std::string& out) {
    const std::string name = gen_name(r);
    out += '<' + name + gen_attrs(r);
    if (r.chance(15)) {
        out += r.chance(80) ? "/>" : "/ >";  // "<a/ >" is a start tag named "a/"
        return;
    }
    out += '>';
    const std::size_t n = depth > 6 ? 0 : r.below(5);
    for (std::size_t i = 0; i < n; ++i) {
        if (r.chance(50)) gen_element(r, depth + 1, out);
        else gen_misc(r, out);
    }
    if (r.chance(4)) return;  // missing end tag
    out += "</" + (r.chance(5) ? gen_name(r) : name);
    if (r.chance(20)) out += gen_ws(r);
    out += '>';
    if (r.chance(3)) out += "</" + gen_name(r) + ">";  // unmatched or mismatched
}

std::string gen_document(Rng& r) {
    std::string d;
    if (r.chance(10)) d += "\xEF\xBB\xBF";
    if (r.chance(20)) d += "<?xml version=\"1.0\" encoding=\"" + std::string(r.chance(50) ? "utf-8" : "latin1") + "\"?>";
    if (r.chance(10)) d += "<!DOCTYPE r SYSTEM \"x>y\">";
    if (r.chance(20)) d += gen_ws(r);
    gen_element(r, 0, d);
    if (r.chance(30)) gen_misc(r, d);
    return d;
}

// A random edit with markup characters: replace, insert or delete a byte.
std::string mutate(Rng& r, std::string d) {
    static const char marks[] = "<>/!?\"'-[]= \tab\n";
    const std::size_t edits = 1 + r.below(3);
    for (std::size_t e = 0; e < edits && !d.empty(); ++e) {
        const std::size_t i = r.below(d.size());
        const char m = marks[r.below(sizeof marks - 1)];
        switch (r.below(3)) {
            case 0: d[i] = m; break;
            case 1: d.insert(d.begin() + static_cast<std::ptrdiff_t>(i), m); break;
            default: d.erase(i, 1); break;
        }
    }
    return d;
}

ReaderConfig random_config(Rng& r) {
    ReaderConfig c;
    c.allow_unmatched_ends = r.chance(50);
    c.check_comments = r.chance(50);
    c.check_end_names = r.chance(50);
    c.expand_empty_elements = r.chance(50);
    c.trim_markup_names_in_closing_tags = r.chance(50);
    c.trim_text_start = r.chance(50);
    c.trim_text_end = r.chance(50);
    return c;
}

ReaderConfig expanding() {
    ReaderConfig c = ReaderConfig::engine();
    c.expand_empty_elements = true;
    return c;
}

// ---------------------------------------------------------------------------
// Lockstep comparison

std::string describe(const std::string& doc, const ReaderConfig& c, std::uint64_t plan) {
    std::string s = "doc=\"";
    for (const char ch : doc) {
        if (ch == '\n') s += "\\n";
        else if (ch == '\t') s += "\\t";
        else if (ch == '\r') s += "\\r";
        else if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F) s += "\\x?";
        else s += ch;
    }
    s += "\" cfg=";
    for (bool f : {c.allow_unmatched_ends, c.check_comments, c.check_end_names, c.expand_empty_elements,
                   c.trim_markup_names_in_closing_tags, c.trim_text_start, c.trim_text_end})
        s += f ? '1' : '0';
    return s + " plan=" + std::to_string(plan) + " width=" + std::to_string(static_cast<int>(scan::isa()));
}

// An event as the offsets of its content in the input.
std::string show(const Event& e, Bytes input) {
    std::string s = std::to_string(static_cast<int>(e.kind)) + "/" + std::to_string(static_cast<int>(e.error));
    if (e.content.data()) {
        s += "@" + std::to_string(e.content.data() - input.data()) + "+" + std::to_string(e.content.size());
    } else {
        s += "@-+" + std::to_string(e.content.size());
    }
    return s + "#" + std::to_string(e.name_len);
}

std::string state(const Reader& r) {
    return std::to_string(r.buffer_position()) + " d" + std::to_string(r.depth()) + " e" +
           std::to_string(static_cast<int>(r.encoding())) + std::to_string(static_cast<int>(r.encoding_source()));
}
std::string state(const oracle::OldReader& r) {
    return std::to_string(r.buffer_position()) + " d" + std::to_string(r.depth()) + " e" +
           std::to_string(static_cast<int>(r.encoding())) + std::to_string(static_cast<int>(r.encoding_source()));
}

// Reads `doc` with both readers in lockstep. `plan` drives the skips:
// 0 never; 1 after every start tag; 2 after random start tags; 3 at random
// points.
// Plan 4 reads with read_markup_event; plan 5 tries skip_leaf after every
// start tag.
// Returns false (after one failure report) on the first difference.
bool lockstep(const std::string& doc, const ReaderConfig& cfg, std::uint64_t plan, std::uint64_t seed) {
    Rng r{seed};
    Reader fast(doc, cfg);
    oracle::OldReader slow(doc, cfg);
    const Bytes in(doc);
    auto differ = [&](const std::string& what, const std::string& a, const std::string& b) {
        if (a == b) return false;
        check::fail(__FILE__, __LINE__, what + ": " + a + " != " + b + " " + describe(doc, cfg, plan));
        return true;
    };
    for (std::size_t step = 0; step < 2 * doc.size() + 8; ++step) {
        if (differ("state", state(fast), state(slow))) return false;
        const bool skip_here = plan == 3 && r.chance(15);
        if (skip_here) {
            const XmlError a = fast.read_to_end(), b = slow.read_to_end();
            if (differ("skip", std::to_string(static_cast<int>(a)), std::to_string(static_cast<int>(b)))) return false;
            continue;
        }
        if (plan == 4) {
            // read_markup_event: the same events with the text left out, and
            // the offset the markup starts at.
            std::uint64_t at = 0;
            const Event a = fast.read_markup_event(at);
            std::uint64_t before = slow.buffer_position();
            Event b = slow.read_event();
            while (b.kind == EventKind::Text) {
                before = slow.buffer_position();
                b = slow.read_event();
            }
            if (differ("markup event", show(a, in), show(b, in))) return false;
            // A run of white space trimmed away gives no text event: the
            // markup starts after it (an expanded end, read in place, has
            // no markup of its own).
            const std::uint64_t after = slow.buffer_position();
            while (after != before && before < after && (doc[before] == ' ' || doc[before] == '\t' ||
                                                          doc[before] == '\r' || doc[before] == '\n'))
                ++before;
            if (a.kind == EventKind::Eof) before = after;
            if (differ("markup at", std::to_string(at), std::to_string(before))) return false;
            if (a.kind == EventKind::Eof) return !differ("final", state(fast), state(slow));
            continue;
        }
        const Event a = fast.read_event();
        const Event b = slow.read_event();
        if (differ("event", show(a, in), show(b, in))) return false;
        if (plan == 5 && a.kind == EventKind::Start && !cfg.expand_empty_elements) {
            // skip_leaf: through the end tag of a leaf, else nowhere.
            const std::size_t from = static_cast<std::size_t>(slow.buffer_position());
            const std::size_t lt = doc.find('<', from);
            const bool leaf = lt != std::string::npos && lt + 1 < doc.size() && doc[lt + 1] == '/';
            Bytes text;
            const bool skipped = fast.skip_leaf(text);
            if (differ("leaf", std::to_string(skipped), std::to_string(leaf))) return false;
            if (leaf) {
                Event t = slow.read_event();
                std::string expected_text;
                if (t.kind == EventKind::Text) {
                    expected_text = show(t, in);
                    t = slow.read_event();
                }
                const std::string got_text = text.empty() ? std::string() : show(Event{EventKind::Text, XmlError::None, text, 0}, in);
                if (differ("leaf text", got_text, expected_text)) return false;
            }
        }
        if (a.kind == EventKind::Eof) {
            // End of input stays, for events and skips alike.
            if (differ("after eof", show(fast.read_event(), in), show(slow.read_event(), in))) return false;
            const XmlError x = fast.read_to_end(), y = slow.read_to_end();
            if (differ("skip after eof", std::to_string(static_cast<int>(x)), std::to_string(static_cast<int>(y))))
                return false;
            return !differ("final", state(fast), state(slow));
        }
        if (a.kind == EventKind::Start && (plan == 1 || (plan == 2 && r.chance(50)))) {
            const XmlError x = fast.read_to_end(), y = slow.read_to_end();
            if (differ("skip", std::to_string(static_cast<int>(x)), std::to_string(static_cast<int>(y)))) return false;
        }
    }
    check::fail(__FILE__, __LINE__, "no end of input: " + describe(doc, cfg, plan));
    return false;
}

bool all_plans(const std::string& doc, const ReaderConfig& cfg, std::uint64_t seed) {
    for (std::uint64_t plan = 0; plan < 6; ++plan)
        if (!lockstep(doc, cfg, plan, seed + plan)) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Kernels against byte loops

TEST(scan_kernels_match_byte_loops) {
    Rng r{7};
    // Bytes a tag body is made of, weighted toward the structural ones.
    const char alphabet[] = "ab>>\"\"''  \t\n\r\x01\x1f/=<";
    for_each_width([&](scan::Isa) {
        for (int round = 0; round < 3000; ++round) {
            const std::size_t len = r.below(round < 1500 ? 40 : 140);
            const std::size_t off = r.below(32);
            std::string buf(off, 'z');
            for (std::size_t i = 0; i < len; ++i) buf += alphabet[r.below(sizeof alphabet - 1)];
            const char* p = buf.data() + off;
            const char* end = buf.data() + buf.size();

            const scan::TagScan t = scan::scan_tag(p, end);
            const char* gt = oracle::detail::find_tag_end(p, end);
            const char* ne = p;
            while (ne < gt && !oracle::detail::is_ws(*ne)) ++ne;
            CHECK_EQ(t.gt - p, gt - p);
            CHECK_EQ(t.name_end - p, ne - p);

            for (const char ch : {'<', '>', '"'})
                CHECK_EQ(scan::find_byte(p, end, ch) - p, oracle::detail::find_byte(p, end, ch) - p);
        }
    });
}

// ---------------------------------------------------------------------------
// Reader against the oracle

TEST(reader_fast_handwritten_cases) {
    // The traps of a skip that jumps from '<' to '<'.
    const char* const docs[] = {
        "<a><a/><b></b><a></a></a>x",
        "<a><b x='</a>' y=\"<a>\"></b></a><a></a>",
        "<a><b x=\"'>\"><a></a></b></a>",
        "<a></a <a>><a></a></a>",         // an end tag runs to its first '>'
        "<a></b<a>></a></a>",
        "<a><a\n/><a\t></a\r\n></a>",
        "<a><!-- <a> --><![CDATA[</a>]]><?p </a>?></a>",
        "<a><?xml version='1.0' encoding='latin1'?></a>\xE9",  // a declaration inside a skip
        "<a><!DOCTYPE d [<!ENTITY e '</a>'>]></a>",
        "<a><!DOCTYPE></a></a>",
        "<a><!bad></a>",
        "<a><!-", "<a><![CDA", "<a><!doc", "<a><", "<a></a", "<a><b x='>", "<a><?p",
        "<a></b></a></a></a>",           // unmatched ends inside and after
        "</a><a></a>",
        "<a><a/ ></a></a>",               // "a/" is a start tag
        "<a x='1'y='2'><a></a></a>",
        "<a><b>-- <!-- a -- b --></b></a>",
        "<a>\xEF\xBB\xBF<a></a></a>",
        "<><></><>< ></ ></>",
        "<a\">\" x></a\">\">t</a\">\"></a>",  // a name holding '>' never matches an end tag
        "<a b='>'>x</a\t></a ></a>",
        "<a>x</a\n>",
        "<a >x</a ></a></a >",
        "<a\">x</a\"></a\">",
    };
    const ReaderConfig cfgs[] = {ReaderConfig::engine(), ReaderConfig::validating(), expanding()};
    for_each_width([&](scan::Isa) {
        for (const char* d : docs)
            for (const ReaderConfig& c : cfgs)
                for (std::uint64_t seed = 0; seed < 4; ++seed) all_plans(d, c, seed);
    });
}

TEST(reader_fast_generated_documents) {
    Rng r{2024};
    const ReaderConfig fixed[] = {ReaderConfig::engine(), ReaderConfig::validating(), expanding()};
    std::vector<std::string> docs;
    for (int i = 0; i < 300; ++i) docs.push_back(gen_document(r));
    for_each_width([&](scan::Isa) {
        std::size_t failures = 0;
        for (std::size_t i = 0; i < docs.size() && failures < 3; ++i) {
            const std::string& d = docs[i];
            for (const ReaderConfig& c : fixed) failures += !all_plans(d, c, i);
            failures += !all_plans(d, random_config(r), i);
            // Cut at every byte (at a sample of bytes for most documents).
            const std::size_t step = i < 40 ? 1 : 1 + d.size() / 16;
            for (std::size_t cut = 0; cut < d.size(); cut += step)
                failures += !all_plans(d.substr(0, cut), fixed[cut % 3], i + cut);
            for (int m = 0; m < 20; ++m) {
                const std::string md = mutate(r, d);
                failures += !all_plans(md, m % 4 == 3 ? random_config(r) : fixed[m % 3], i * 31 + static_cast<std::size_t>(m));
            }
        }
        CHECK_EQ(failures, 0u);
    });
}

TEST(reader_fast_long_runs) {
    // Tags, values, names and texts longer than any vector block, with the
    // structural bytes at every offset of a block.
    for_each_width([&](scan::Isa) {
        for (std::size_t n = 0; n < 70; ++n) {
            const std::string pad(n, 'v');
            const std::string docs[] = {
                "<a><b k='" + pad + ">'>" + pad + "</b><a x=\"" + pad + "<a>\"></a></a>",
                "<a><" + pad + "b" + pad + " k='1'/></a" + pad + "><a></a>",
                "<a>" + pad + "<a" + pad + "></a>" + pad + "</a>",
                "<a k='" + pad + "'></a k=" + pad + "'>'></a>",
                "<a " + pad + "\t" + pad + "></a>",
                "<a\"" + pad + " " + pad + "'\"" + pad + "'>'></a>",  // the name ends inside a value
                "<a k='" + pad + "\"" + pad + "' j=\"" + pad + ">'\"><a/></a>",
                "<a><!--" + pad + "--" + pad + "-->" + "</a>",
            };
            for (const std::string& d : docs) {
                all_plans(d, ReaderConfig::engine(), n);
                all_plans(d, ReaderConfig::validating(), n);
                for (std::size_t cut = d.size() > 40 ? d.size() - 40 : 0; cut < d.size(); ++cut)
                    all_plans(d.substr(0, cut), ReaderConfig::engine(), cut);
            }
        }
    });
}
