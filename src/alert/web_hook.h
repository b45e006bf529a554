#pragma once
// The web hook: one HTTP request an alert, GET or POST, to the address the user set up with
// the push service of their choice.

#include <string>
#include <string_view>

#include "alert/channel.h"
#include "alert/text_forms.h"

namespace vellicor::alert {

// The request an alert makes of the template. The template's {item}, {account}, {outcome},
// {time} and {title} are filled in, each as the body's form wants it:
// - POST, a template starting with '{' or '[': JSON, the values escaped for a JSON string;
// - a template of name=value pairs joined by '&': each pair's value filled in and
//   percent-encoded, as a form body (POST) or the address's query (GET);
// - any other POST template: plain text, the values as they are;
// - any other GET template: the filled text as the query's one value "text".
// An empty template takes the four fields and the title, as JSON (POST) or as pairs (GET).
struct HookRequest {
    std::string url;
    std::string body;         // POST only
    std::string contentType;  // POST only
};
HookRequest hookRequest(const AlertSettings& settings, const Alert& alert);

// The template with its fields filled in, each value passed through `escape`.
std::string fillTemplate(std::string_view text, const Alert& alert,
                         std::string (*escape)(std::string_view));

class WebHook final : public Channel {
  public:
    // `thisComputer` says where a password may go without TLS.
    WebHook(AlertSettings settings, HttpSettings http, HostRule thisComputer = &toThisComputer);
    std::string name() const override { return "Web 钩子"; }
    std::string where() const override;
    // 2xx is delivered; 408, 429 and 5xx may go again; any other answer is lasting. The
    // alert's id goes as Idempotency-Key and X-Alert-Id on every attempt. A password in the
    // address goes over TLS only (https://), but to this computer.
    AttemptResult send(const Alert& alert, const Attempt& attempt) override;

  private:
    std::vector<std::string> secrets() const;
    AlertSettings settings_;
    HttpSettings http_;
    HostRule thisComputer_;
};

}  // namespace vellicor::alert
