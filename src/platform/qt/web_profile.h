#pragma once
// The one browser profile every pane of the tool shares: one cookie store, so a login made
// in a login pane is the session of the sign-in pane too, and others can read its cookies.

class QObject;
class QString;
class QWebEngineProfile;

namespace vellicor::ui {

// The profile the panes made from now on use. By default one created on first use, on the
// GUI thread, owned by the application object, that keeps nothing on disk: every run starts
// without cookies or cache.
QWebEngineProfile* sharedWebProfile();

// A profile that keeps its cookies (the session's too) in `folder`, created 0700; the files
// get the process's umask. The cache stays in memory.
QWebEngineProfile* makeRememberingProfile(const QString& folder, QObject* parent);

// Panes made after this call use `profile`; nullptr goes back to the in-memory one. The caller
// keeps the profile alive as long as a pane made with it.
void useWebProfile(QWebEngineProfile* profile);

}  // namespace vellicor::ui
