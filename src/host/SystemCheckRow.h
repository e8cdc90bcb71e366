#pragma once

#include "host/SystemCheckItem.h"

#include <QWidget>

namespace trellium {

// One item of a system check: state symbol, title and detail.
class SystemCheckRow : public QWidget {
    Q_OBJECT
public:
    explicit SystemCheckRow(SystemCheckItem item, QWidget *parent = nullptr);

    const SystemCheckItem &item() const { return m_item; }
    static QString stateSymbol(SystemCheckState state);

private:
    SystemCheckItem m_item;
};

} // namespace trellium
