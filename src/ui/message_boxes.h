#pragma once

namespace orvalin {

// Makes toolkit::message_box show modal message boxes over the active window.
void install_message_boxes();

} // namespace orvalin
