#pragma once

#include "platform/Exception.h"

#include <exception>
#include <utility>

// The application's top-level error handler, as the windows' handlers reach it. The
// application object installs itself; a library's windows shown on their own (without it)
// get the error box it would show.
class TopLevelErrorHandler {
public:
    virtual ~TopLevelErrorHandler() = default;
    // Tells the user about an error that ended an event; the program goes on.
    virtual void handleException(const Exception& error) = 0;
};

// The handler in use; null restores the plain error box.
TopLevelErrorHandler& topLevelErrorHandler();
void setTopLevelErrorHandler(TopLevelErrorHandler* handler);

// The error box of the top-level handler: the message under the "." rule, the application
// title as caption, an error icon and OK.
void showErrorBox(const Exception& error);

// Hands the error being handled to the top-level error handler: one of the system's errors
// with its message, any other standard error with its own, out of memory with a short text
// of its own. Call it only inside a catch block for std::exception.
void reportCurrentError();

// Runs an event handler where Qt calls it. An error it raises ends the event here and goes to
// the top-level error handler, so no error unwinds through Qt's frames. Returns whether the
// handler ran to its end.
template <typename Handler> bool guardHandler(Handler&& handler) {
    try {
        std::forward<Handler>(handler)();
        return true;
    } catch (const std::exception&) {
        reportCurrentError();
    }
    return false;
}

// A slot for connect() that runs a handler of `object` behind the guard.
template <typename Object> auto guarded(Object* object, void (Object::*handler)()) {
    return [object, handler] { guardHandler([object, handler] { (object->*handler)(); }); };
}
