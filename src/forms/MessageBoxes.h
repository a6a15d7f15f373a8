// The framework's two boxes. Both carry the application title as caption, one
// "OK" button, are centred on the screen and are modal for the whole program.
#pragma once

#include <string>
#include <string_view>

namespace qf {

// The plain message box: the text and no icon.
void ShowMessage(const std::string& text);

// The error box: stop icon and the error's message as ErrorBoxText words it.
void ShowErrorBox(const std::string& message);

// The message followed by "." when its last character's code is above that of
// "." (codes compared as unsigned bytes); unchanged otherwise, also when empty.
std::string ErrorBoxText(std::string_view message);

}  // namespace qf
