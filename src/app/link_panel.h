#pragma once
// The two fixed texts that speak to the user: the link panel (HTML and style sheet) and the
// notice the log box opens with, and what a click on a panel link does.

#include <string>
#include <vector>

#include "platform/config.h"
#include "platform/services.h"
#include "vellicor_version.h"

namespace vellicor::app {

// The release number the panel and the window's title show and the update check compares.
inline constexpr const char* kVersion = kReleaseNumber;

// The notice text: the log box's content at start (UTF-8 here; 366 bytes once in GBK).
std::string noticeText();

// The panel's HTML text; its addresses come from the publisher configuration.
std::string linkPanelHtml(const Config& config);
// The panel's style sheet (also the panel kind's default style sheet).
std::string linkPanelStyleSheet();

// One anchor of the panel: the text shown and the event text its click reports. Lets the
// window build its view without parsing the HTML text back.
struct PanelLink {
    std::string shown;
    std::string event;
};
// The seven anchors in the order they stand in the HTML text.
std::vector<PanelLink> linkPanelLinks(const Config& config);

// Addresses the panel and the update check use.
std::string portalHomeAddress(const Config& config);
std::string mallIndexAddress(const Config& config);
std::string forumIndexAddress(const Config& config);
std::string postPageAddress(const Config& config);
std::string followAddress(const Config& config, int which);  // which: 1 or 2
std::string downloadPageAddress(const Config& config);

// Acts on a clicked link's event text: opens what the text names, nothing otherwise.
// The follow link opens both authors' follow pages, the first author's first.
void handleLinkClick(const std::string& eventText, const Config& config, UrlOpener& opener);

}  // namespace vellicor::app
