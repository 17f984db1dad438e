#include "platform/files.h"

namespace zvq::platform {

std::string FolderOfAnotherUserText(std::string_view APath) {
  return "The staging folder \"" + std::string(APath) +
         "\" belongs to another user, so the launcher will not use it";
}

std::string FolderOpenToOthersText(std::string_view APath) {
  return "The staging folder \"" + std::string(APath) +
         "\" is open to other users, so the launcher will not use it";
}

}  // namespace zvq::platform
