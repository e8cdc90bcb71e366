#include "agent/AgentManager.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace trellium;
using namespace std::chrono_literals;

namespace {

class AgentSystemCheck : public test::DataHomeTest {
protected:
    static SystemCheckItem item(const SystemCheckResult &result, const QString &title)
    {
        for (const SystemCheckItem &each : result.items) {
            if (each.title == title)
                return each;
        }
        ADD_FAILURE() << "no item " << title.toStdString();
        return {};
    }
};

} // namespace

TEST_F(AgentSystemCheck, ReadsTheAgentsListenerAndRelayAsTheyAreWhenItRuns)
{
    AgentManager agent;
    agent.start(0);
    ASSERT_TRUE(agent.server().isRunning());
    agent.relayClient().setConnected(true);
    SystemCheckResult result = runSync(agent.runSystemCheck(), 120s);
    ASSERT_EQ(result.items.size(), 14);
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).detail, QStringLiteral("online"));
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::passed);
    EXPECT_EQ(item(result, QStringLiteral("Lokaler Server")).detail,
              QStringLiteral("Port %1").arg(agent.server().port()));
    EXPECT_EQ(item(result, QStringLiteral("Relay")).detail, QStringLiteral("Verbunden"));

    // Read when the check runs, not when the agent was made.
    agent.stop();
    result = runSync(agent.runSystemCheck(), 120s);
    EXPECT_EQ(item(result, QStringLiteral("Agent Status")).state, SystemCheckState::failed);
}
