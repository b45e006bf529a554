#pragma once
// Mail through the user's SMTP server: smtps:// speaks TLS from the start; smtp:// turns to
// TLS (STARTTLS) where the server offers it, and requires it before a password goes to a
// server that is not this computer.

#include <chrono>
#include <string>
#include <vector>

#include "alert/channel.h"
#include "alert/text_forms.h"

namespace vellicor::alert {

// The message as it goes after DATA: the subject in UTF-8 encoded words, the body in UTF-8 as
// Base64, and the alert's id as its Message-ID (and X-Alert-Id), the same on every attempt.
std::string mailMessage(const AlertSettings& settings, const Alert& alert,
                        std::chrono::system_clock::time_point now);

// The addresses of mail_to, each trimmed.
std::vector<std::string> recipients(const std::string& mailTo);

class Mail final : public Channel {
  public:
    // `thisComputer` says where a password may go without TLS.
    Mail(AlertSettings settings, HttpSettings http, HostRule thisComputer = &toThisComputer);
    std::string name() const override { return "邮件"; }
    std::string where() const override;
    AttemptResult send(const Alert& alert, const Attempt& attempt) override;

  private:
    std::vector<std::string> secrets() const;
    AlertSettings settings_;
    HttpSettings http_;
    HostRule thisComputer_;
};

}  // namespace vellicor::alert
