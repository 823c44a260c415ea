// An error as the platform reports it: domain, code, message and further information.
#pragma once

#include <map>
#include <memory>
#include <string>

class NSError;
using NSErrorRef = std::shared_ptr<const NSError>;

class NSError {
 public:
  using UserInfo = std::map<std::string, std::string>;

  static NSErrorRef errorWithDomain(std::string domain, long code, std::string message,
                                    UserInfo userInfo = {});

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& localizedDescription() const { return message_; }
  const UserInfo& userInfo() const { return userInfo_; }

  // `Error Domain=<domain> Code=<code> "<message>"`, then ` UserInfo={key=value, ...}` when
  // there is further information.
  std::string description() const;

  NSError(std::string domain, long code, std::string message, UserInfo userInfo);

 private:
  std::string domain_;
  long code_;
  std::string message_;
  UserInfo userInfo_;
};
