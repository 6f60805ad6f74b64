#include "platform/HandlerGuard.h"

#include "platform/MessageDialogs.h"

#include <new>

namespace {

class ErrorBoxHandler : public TopLevelErrorHandler {
public:
    void handleException(const Exception& error) override { showErrorBox(error); }
};

ErrorBoxHandler errorBoxHandler;
// Made at start: when memory has run out, the message must not need any.
const Exception outOfMemory(QStringLiteral("Out of memory"));
TopLevelErrorHandler* currentHandler = &errorBoxHandler;

} // namespace

TopLevelErrorHandler& topLevelErrorHandler() {
    return *currentHandler;
}

void setTopLevelErrorHandler(TopLevelErrorHandler* handler) {
    currentHandler = handler ? handler : &errorBoxHandler;
}

void showErrorBox(const Exception& error) {
    messageDialogs().errorBox(applicationTitle(), errorBoxText(error.message()));
}

void reportCurrentError() {
    try {
        throw;
    } catch (const Exception& error) {
        topLevelErrorHandler().handleException(error);
    } catch (const std::bad_alloc&) {
        topLevelErrorHandler().handleException(outOfMemory);
    } catch (const std::exception& error) {
        topLevelErrorHandler().handleException(Exception(QString::fromLocal8Bit(error.what())));
    }
}
