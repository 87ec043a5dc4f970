// The panel's single page, compiled into the relay from tools/relay/web/panel.html.
#pragma once

#include <string_view>

namespace skyhelm::relay {

std::string_view PanelPage();

}  // namespace skyhelm::relay
