#include "platform/HandlerGuard.h"

#include "platform/MessageDialogs.h"

namespace {

class ErrorBoxHandler : public TopLevelErrorHandler {
public:
    void handleException(const Exception& error) override { showErrorBox(error); }
};

ErrorBoxHandler errorBoxHandler;
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
