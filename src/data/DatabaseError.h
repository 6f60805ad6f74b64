#pragma once

#include "platform/Exception.h"

// A failure of the database service; the message is the server's (or the driver's) text.
class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};
