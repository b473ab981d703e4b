#include "engine/Platform.h"

namespace orvane {

std::string_view toString(FocusMethod method) {
    switch (method) {
    case FocusMethod::windowManager: return "windowManager";
    case FocusMethod::inputFocus: return "inputFocus";
    case FocusMethod::pointerOnly: return "pointerOnly";
    }
    return "pointerOnly";
}

} // namespace orvane
