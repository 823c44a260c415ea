#include "platform/foundation/NSError.h"

NSErrorRef NSError::errorWithDomain(std::string domain, long code, std::string message,
                                    UserInfo userInfo) {
  return std::make_shared<const NSError>(std::move(domain), code, std::move(message),
                                         std::move(userInfo));
}

NSError::NSError(std::string domain, long code, std::string message, UserInfo userInfo)
    : domain_(std::move(domain)),
      code_(code),
      message_(std::move(message)),
      userInfo_(std::move(userInfo)) {}

std::string NSError::description() const {
  std::string text =
      "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + message_ + "\"";
  if (userInfo_.empty()) return text;
  text += " UserInfo={";
  const char* separator = "";
  for (const auto& [key, value] : userInfo_) {
    text.append(separator).append(key).append("=").append(value);
    separator = ", ";
  }
  return text + "}";
}
