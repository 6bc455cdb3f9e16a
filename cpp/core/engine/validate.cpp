#include "engine/validate.hpp"

#include "xml/wellformed.hpp"

namespace quelmar {

bool validate(Bytes source, bool text_input) { return !check_well_formed(source, text_input).has_value(); }

}  // namespace quelmar
