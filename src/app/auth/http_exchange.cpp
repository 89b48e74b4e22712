#include "app/auth/http_exchange.h"

#include <nlohmann/json.hpp>

#include "app/auth/oauth_flow.h"

namespace corvel {

std::string FormEncoded(const FormFields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += PercentEncode(name) + '=' + PercentEncode(value);
  }
  return body;
}

HttpFormAnswer ReadFormAnswer(long status, std::string_view body) {
  HttpFormAnswer answer;
  answer.reached = true;
  answer.status = status;
  const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  if (!parsed.is_object()) return answer;
  answer.json = true;
  for (const auto& [name, value] : parsed.items()) {
    if (value.is_string()) {
      answer.members[name] = value.get<std::string>();
    } else if (value.is_number()) {
      answer.members[name] = value.dump();
    }
  }
  return answer;
}

bool RequestHeadComplete(std::string_view head) {
  return head.find("\r\n\r\n") != std::string_view::npos;
}

std::string GetRequestTarget(std::string_view head) {
  if (!head.starts_with("GET ")) return {};
  const std::size_t end = head.find(' ', 4);
  const std::size_t lineEnd = head.find("\r\n");
  if (end == std::string_view::npos || end > lineEnd) return {};
  return std::string(head.substr(4, end - 4));
}

std::string LoopbackReply(std::string_view status, bool html, std::string_view body) {
  return "HTTP/1.1 " + std::string(status) +
         "\r\nContent-Type: " + (html ? "text/html" : "text/plain") +
         "; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + std::string(body);
}

}  // namespace corvel
