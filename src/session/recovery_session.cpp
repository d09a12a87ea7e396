#include "session/recovery_session.h"

namespace mdf {

RecoverySession::RecoverySession(Reporter& r, FileOpener opener)
    : reporter(r), source(std::move(opener)) {}

}  // namespace mdf
