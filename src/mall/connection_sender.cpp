#include "mall/connection_sender_impl.h"

namespace vellicor::mall {

template class BasicConnectionSender<PrimedConnections>;

}  // namespace vellicor::mall
