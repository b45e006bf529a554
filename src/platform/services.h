#pragma once
// Seams to the desktop: the GUI supplies real ones, tests supply fakes that record and answer.

#include <functional>
#include <string>
#include <vector>

namespace vellicor {

// Button and icon flags, numbered as the desktop's message box flags are.
namespace mbflags {
constexpr unsigned Ok = 0x0;
constexpr unsigned OkCancel = 0x1;
constexpr unsigned AbortRetryIgnore = 0x2;
constexpr unsigned YesNoCancel = 0x3;
constexpr unsigned YesNo = 0x4;
constexpr unsigned RetryCancel = 0x5;
constexpr unsigned IconError = 0x10;
constexpr unsigned IconQuestion = 0x20;
constexpr unsigned IconWarning = 0x30;
constexpr unsigned IconInformation = 0x40;
constexpr unsigned SystemModal = 0x1000;
constexpr unsigned TaskModal = 0x2000;
}  // namespace mbflags

// Answers of a message box, as the logic reads them.
enum MessageBoxAnswer : int {
    AnswerOk = 0,
    AnswerCancel = 1,
    AnswerAbort = 2,
    AnswerRetry = 3,
    AnswerIgnore = 4,
    AnswerYes = 5,
    AnswerNo = 6,
};

class MessageBoxService {
  public:
    virtual ~MessageBoxService() = default;
    // Shows the box and returns one of MessageBoxAnswer. The caption is already resolved
    // (never empty) and the flags already carry the modality.
    virtual int show(const std::string& text, unsigned flags, const std::string& caption) = 0;
};

class UrlOpener {
  public:
    virtual ~UrlOpener() = default;
    // Opens the address in the user's default browser without waiting for it.
    virtual void open(const std::string& url) = 0;
    // Several addresses one click asks for, in order. An opener that tells the user about an
    // address it could not open tells about all of them at once, not in a box each.
    virtual void openAll(const std::vector<std::string>& urls) {
        for (const std::string& url : urls) {
            open(url);
        }
    }
};

class Notifier {
  public:
    virtual ~Notifier() = default;
    // A desktop notification, seen also while the window is minimised; does not wait.
    // The window's thread only.
    virtual void notify(const std::string& title, const std::string& text) = 0;
};

// Receives whole UTF-8 texts for the log box; each call is appended as one piece.
using LogSink = std::function<void(const std::string& text)>;

}  // namespace vellicor
