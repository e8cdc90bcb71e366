#pragma once

#include "host/ComponentRow.h"

#include <QWidget>

#include <array>

class QLabel;
class QPushButton;

namespace trellium {

class AgentComponentManager;
class DesktopOpener;

// Every outside tool with its state, detail, links and action: Blender and
// XcodeGen (managed), Xcode, the Command Line Tools, QEMU and Python. A live
// picture of the component manager; it stores nothing.
class ComponentSetupView : public QWidget {
    Q_OBJECT
public:
    enum class Row { blender, xcodeGen, xcode, commandLineTools, qemu, python };
    static constexpr size_t kRowCount = 6;
    static constexpr QSize kContentSize{680, 650};

    static const QUrl kXcodeAppStoreURL;
    static const QUrl kHomebrewURL;
    static const QUrl kQEMUURL;
    static const QUrl kPythonURL;

    ComponentSetupView(AgentComponentManager &components, DesktopOpener &opener, QWidget *parent = nullptr);

    // Blender, XcodeGen or QEMU is installing (Python does not count).
    bool isBusy() const;
    // Blender and XcodeGen are installed.
    bool requiredComponentsReady() const;
    // Homebrew's executable is there; looked up at each use.
    bool isHomebrewAvailable() const;

    ComponentRow *row(Row row) const { return m_rows[size_t(row)]; }
    QLabel *headerLine() const { return m_headerLine; }
    QPushButton *closeButton() const { return m_close; }
    QPushButton *installRequiredButton() const { return m_installRequired; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void render();
    ComponentRow::Fields fields(Row row) const;
    // Installs Python with Homebrew, or repairs the Homebrew Python found.
    void installOrRepairPython() const;
    bool isHomebrewPython(const QString &path) const;
    QString pythonActionTitle() const;
    void homebrewAction(const std::function<void()> &install) const;

    AgentComponentManager &m_components;
    DesktopOpener &m_opener;
    std::array<ComponentRow *, kRowCount> m_rows{};
    QLabel *m_headerLine = nullptr;
    QPushButton *m_close = nullptr;
    QPushButton *m_installRequired = nullptr;
};

} // namespace trellium
