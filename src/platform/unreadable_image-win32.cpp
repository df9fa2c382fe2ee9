// On Windows the program opens the machine's own drives only: no path is ever a disk image.
#include "platform/unreadable_image.h"

bool LastOpenWasUnreadableImage(std::string& /*format*/, std::string& /*reason*/) {
  return false;
}
