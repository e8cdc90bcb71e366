#pragma once

#include "core/Process.h"

#include <QString>

#include <chrono>

namespace trellium::test {

// The fixed account a test runs as when it needs an ordinary user but runs
// as root (as CI does).
namespace OrdinaryUser {

inline const QString name = QStringLiteral("trellium-test");

// True when /etc/subuid and /etc/subgid give the user (by name or uid)
// subordinate ids.
bool hasSubordinateIds(uint uid);

// Creates the account, with subordinate user and group ids, when missing.
// Needs root; false with the reason when it cannot.
bool ensure(QString *whyNot);

// False with the reason when the account cannot read and run this test
// program and read the given files.
bool canReach(const QStringList &files, QString *whyNot);

// Runs the current test again as the account, in a process of its own with
// the account's home and no runtime folder of root's; its output goes to
// standard output as it comes.
ProcessResult rerunCurrentTest(std::chrono::milliseconds timeout);

} // namespace OrdinaryUser

} // namespace trellium::test
