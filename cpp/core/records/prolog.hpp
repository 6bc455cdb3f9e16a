// What goes before each record of a stream to make it a document of its
// own: the document's declaration and its DOCTYPE, the internal subset read
// once. A record gets the subset's other declarations and only the general
// entities it refers to (with those they refer to), so that a subset of
// many entities is not read again for every record.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "common/bytes.hpp"

namespace quelmar {

class RecordProlog {
public:
    // `declaration`: the document's declaration as records need it (that of
    // a legacy encoding, or nothing); `transcoded`: the records are the
    // UTF-8 form of the document (a DOCTYPE then needs no declaration).
    RecordProlog(std::string declaration = {}, bool transcoded = false);

    // The DOCTYPE declaration (checked elsewhere). A subset that cannot be
    // cut into declarations (a parameter entity reference among them, which
    // may stand for entities, or anything this reading does not know) goes
    // whole before every record.
    void set_doctype(Bytes doctype);

    const std::string& declaration() const noexcept { return declaration_; }
    // The declaration and the whole DOCTYPE: for the text around the records.
    const std::string& full() const noexcept { return full_; }
    // The prefix of a record that refers to no entity of the subset.
    const std::string& base() const noexcept { return base_; }
    // Whether records get prefixes of their own (the subset declares
    // general entities).
    bool per_record() const noexcept { return !entities_.empty(); }
    // The prefix of `record`; stays valid while the prolog lives (until the
    // next set_doctype).
    const std::string& prefix_for(Bytes record);

private:
    struct Entity {
        std::string declaration;
        std::vector<std::string> refers;  // names of entities its text refers to
        std::size_t order = 0;            // its place in the subset
    };
    std::string with_doctype(Bytes doctype) const;
    void close_over(std::vector<std::string>& names) const;
    std::string build(std::vector<std::string> names) const;

    std::string declaration_;
    bool transcoded_;
    std::string full_;
    std::string base_;
    std::string head_;  // "<!DOCTYPE name ..." before the subset's '['
    std::string rest_;  // the subset's declarations other than general entities
    std::map<std::string, Entity, std::less<>> entities_;
    std::vector<std::string> always_;  // entities rest_ refers to (closed over)
    // Prefixes built, by the sorted names of the entities chosen (ordered
    // maps: their keys come from the input); at most kPrefixes are kept.
    std::map<std::string, std::string, std::less<>> by_names_;
    static constexpr std::size_t kPrefixes = 1024;
};

// The entity references `&name;` in text (the names, in order, repeated).
std::vector<Bytes> entity_references(Bytes text);

}  // namespace quelmar
