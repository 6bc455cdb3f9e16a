// The well-formedness check: XML 1.0 (Fifth Edition) and Namespaces in XML
// 1.0, as a non-validating processor that reads no external entity.
//
// One forward pass over the document with no tree: what it keeps is the
// stack of open element names (views into the document), the namespace
// bindings in scope and the entities the internal subset declares. Errors
// are values: the first one found, with its position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/bytes.hpp"
#include "common/hash.hpp"

namespace quelmar {

enum class WfCode : std::uint8_t {
    Syntax,           // a token that is not XML where it stands
    InvalidChar,      // a character outside Char, or bytes that do not decode
    Unclosed,         // the document ends inside markup or an element
    NoElement,        // no root element
    JunkAfterRoot,    // anything but comments, PIs and white space after the root
    TagMismatch,      // an end tag that does not close the open element
    DuplicateAttribute,
    UndefinedEntity,
    EntityUse,        // recursive, unparsed, external in a value, or ill-formed replacement text
    Namespace,        // undeclared prefix, reserved prefixes and names, malformed QName
    Declaration,      // the XML declaration or a markup declaration
    Encoding,         // unknown or contradicted encoding
};

struct WfError {
    WfCode code = WfCode::Syntax;
    std::string message;
    std::size_t offset = 0;  // bytes into the data as given
    std::size_t line = 1;    // 1-based
    std::size_t column = 1;  // 1-based, in characters
};

// Namespace prefixes, as a record stream collects those declared around
// its records (keyed: the names come from the input).
using PrefixSet = std::unordered_set<std::string, KeyedHash, std::equal_to<>>;

// The first well-formedness error of `document`, or nothing when it is
// well formed. `text_input`: the bytes are the UTF-8 form of decoded text
// (a Python str), so an encoding declaration inside them is not obeyed.
// `outer_bindings`: the document is an element cut from a larger one (a
// record of a stream), whose prefixes an ancestor may bind: any prefix, or
// only those of `outer_prefixes` when it is given.
std::optional<WfError> check_well_formed(Bytes document, bool text_input = false, bool outer_bindings = false,
                                         const PrefixSet* outer_prefixes = nullptr);

// The same check over a document that comes in pieces of any size, with
// the same answer (message, offset, line and column) as the check of the
// whole. What it holds is the piece not checked yet: a token cut by the
// end of what it was given (the prolog with the DOCTYPE counts as one),
// and the names of the open elements and namespace bindings. A document
// in UTF-16 or declared in another encoding than UTF-8 is held whole and
// checked at its end (`whole()` says so once the prolog tells).
class WellFormedStream {
public:
    WellFormedStream();
    ~WellFormedStream();
    WellFormedStream(const WellFormedStream&) = delete;
    WellFormedStream& operator=(const WellFormedStream&) = delete;

    // The next bytes. False once an error is found (`error()`); the
    // pieces after it are not looked at.
    bool feed(Bytes piece);
    // The same for a document the caller keeps in memory, at the same
    // place, from its start (a mapped file): `document` is all of it there
    // is so far, each call more of it. Nothing but the names of open
    // elements is copied, and the bytes before `checked()` are not read
    // again (a mapped file's pages may be let go). Not to be mixed with
    // feed().
    bool feed_in_place(Bytes document);
    // The document's bytes checked so far.
    std::size_t checked() const noexcept;
    // The end of the document: its first error, or nothing.
    const std::optional<WfError>& finish();
    const std::optional<WfError>& error() const noexcept;
    bool whole() const noexcept;
    // The bytes held (the window's size).
    std::size_t held() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quelmar
