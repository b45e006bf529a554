#pragma once
// The one browser profile every pane of the tool shares: one cookie store, so a login made
// in a login pane is the session of the sign-in pane too, and others can read its cookies.

class QWebEngineProfile;

namespace vellicor::ui {

// Created on first use, on the GUI thread, owned by the application object. It keeps
// nothing on disk: every run starts without cookies or cache.
QWebEngineProfile* sharedWebProfile();

}  // namespace vellicor::ui
