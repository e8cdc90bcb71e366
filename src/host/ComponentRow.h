#pragma once

#include "host/AgentComponentManager.h"

#include <QList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <utility>

class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;

namespace trellium {

class DesktopOpener;

// One tool in the component-setup window: symbol, title and state, purpose,
// detail, links and its one action.
class ComponentRow : public QWidget {
    Q_OBJECT
public:
    using Link = std::pair<QString, QUrl>;
    struct Fields {
        QString icon;
        QString title;
        QString purpose;
        QString detail;
        AgentComponentManager::State state;
        QString actionTitle;
        std::function<void()> action;
        QList<Link> links;
    };

    ComponentRow(Fields fields, DesktopOpener &opener, QWidget *parent = nullptr);

    // Redraws with new values (the window follows the manager's changes).
    void setFields(Fields fields);
    const Fields &fields() const { return m_fields; }

    // The detail as shown: a very long one by its end only.
    static QString shownDetail(const QString &detail);
    // An installed tool offers only a repair; other actions are left out.
    static bool showsAction(const Fields &fields);

    QLabel *stateLabel() const { return m_stateText; }
    QLabel *stateSymbol() const { return m_stateSymbol; }
    QLabel *detailLabel() const { return m_detail; }
    QProgressBar *progress() const { return m_progress; }
    QPushButton *actionButton() const { return m_action; }
    QList<QPushButton *> linkButtons() const { return m_linkButtons; }

private:
    void render();
    void rebuildLinks();

    Fields m_fields;
    DesktopOpener &m_opener;
    QLabel *m_icon = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_stateSymbol = nullptr;
    QLabel *m_stateText = nullptr;
    QLabel *m_purpose = nullptr;
    QLabel *m_detail = nullptr;
    QHBoxLayout *m_linkRow = nullptr;
    QList<QPushButton *> m_linkButtons;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_action = nullptr;
};

} // namespace trellium
