// The well-formedness check behind the module function `validate`.
#pragma once

#include "common/bytes.hpp"

namespace quelmar {

// True when the document is well-formed XML 1.0 and namespace-well-formed
// (check_well_formed finds no error). `text_input`: the bytes are the UTF-8
// form of a Python str, whose encoding declaration is not obeyed.
bool validate(Bytes source, bool text_input = false);

}  // namespace quelmar
