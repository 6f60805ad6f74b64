#include "signin/StarMask.h"

#include <QLineEdit>
#include <QProxyStyle>

namespace {

class StarMaskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

void maskWithStars(QLineEdit* entry) {
    auto* style = new StarMaskStyle;
    // Owned by the entry: a widget does not own the style it is given.
    style->setParent(entry);
    entry->setEchoMode(QLineEdit::Password);
    entry->setStyle(style);
}
