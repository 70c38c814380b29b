#include "link/speed_hint.h"

namespace ql {

bool SpeedHint::Due(const LinkActivity& activity) {
  using Kind = LinkActivity::Kind;
  switch (activity.kind) {
    case Kind::kGarbled:
      ++garbled_;
      break;
    // An exchange that worked: the speed is right.
    case Kind::kListingSent:
    case Kind::kFileSent:
    case Kind::kFileChanged:
    case Kind::kUploadNameTaken:
    case Kind::kUploadStored:
      garbled_ = 0;
      given_ = false;
      break;
    default:
      break;
  }
  if (given_ || garbled_ < kGarbledMessages) return false;
  given_ = true;
  return true;
}

}  // namespace ql
