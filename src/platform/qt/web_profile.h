#pragma once
// The one browser profile every pane of the tool shares: one cookie store, so a login made
// in a login pane is the session of the sign-in pane too, and others can read its cookies.

class QString;
class QWebEngineProfile;

namespace vellicor::ui {

// Created on first use, on the GUI thread, owned by the application object. It keeps
// nothing on disk: every run starts without cookies or cache.
QWebEngineProfile* sharedWebProfile();

// A profile of its own (one an account), owned by the application object until deleted. With
// a folder its data other than cookies is kept there; without one it keeps nothing on disk.
// Cookies never go to disk: whoever wants them kept keeps them.
QWebEngineProfile* newWebProfile(const QString& folder, const QString& name);

}  // namespace vellicor::ui
