#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace trellium::test {

// As root: a server of another user at a socket of root's. A child binds the
// socket (so the file and its folder stay root's) and changes to `uid`
// before it listens, which is whose process the kernel then reports to its
// callers. It answers "OK" to whatever it receives, as an agent would.
class ForeignListener {
public:
    ForeignListener(const QString &path, uid_t uid);
    ~ForeignListener();
    ForeignListener(const ForeignListener &) = delete;
    ForeignListener &operator=(const ForeignListener &) = delete;

    // False with the reason when the child could not listen as the user.
    bool listening(QString *whyNot = nullptr) const;
    // Every byte it received so far. A caller got its answer only after
    // the bytes it sent were recorded here.
    QByteArray received();

private:
    pid_t m_child = -1;
    int m_report = -1;
    QString m_whyNot;
    QByteArray m_received;
};

} // namespace trellium::test
