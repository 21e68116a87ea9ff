#include <gtest/gtest.h>

#include "nimbrad/VelmoraPolicyManager.h"
#include "tests/support/FakePolicyProvider.h"
#include "tests/support/Recorder.h"
#include "tests/support/ScopedLogCapture.h"

using namespace nimbra;
using test::FakePolicyProvider;

namespace {

struct PolicyChange {
  VelmoraPolicy oldPolicy;
  VelmoraPolicy newPolicy;
};

VelmoraPartialPolicy periodic(std::uint64_t seconds) {
  VelmoraPartialPolicy policy;
  policy.periodicInterval = seconds;
  return policy;
}

class VelmoraPolicyManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<VelmoraPolicyManager> makeManager() {
    auto manager = VelmoraPolicyManager::create({first, second}, VelmoraPolicy::builtInDefault());
    token = manager->addObserver([this](const VelmoraPolicy& oldPolicy, const VelmoraPolicy& newPolicy) {
      changes.add({oldPolicy, newPolicy});
    });
    return manager;
  }

  void TearDown() override { platform::NotificationCenter::defaultCenter().removeObserver(token); }

  test::ScopedLogCapture log;
  std::shared_ptr<FakePolicyProvider> first = std::make_shared<FakePolicyProvider>("first");
  std::shared_ptr<FakePolicyProvider> second = std::make_shared<FakePolicyProvider>("second");
  test::Recorder<PolicyChange> changes;
  platform::ObserverToken token;
};

}  // namespace

TEST_F(VelmoraPolicyManagerTest, EarlierProvidersWinOverLaterOnesAndTheDefault) {
  VelmoraPartialPolicy fromSecond;
  fromSecond.periodicInterval = 100;
  fromSecond.enabled = false;
  first->set(periodic(7200));
  second->set(fromSecond);
  auto manager = makeManager();
  VelmoraPolicy expected = VelmoraPolicy::builtInDefault();
  expected.periodicInterval = 7200;
  expected.enabled = false;
  EXPECT_EQ(manager->currentPolicy(), expected);
  EXPECT_EQ(manager->periodicInterval(), 7200u);
  EXPECT_FALSE(manager->enabled());
  EXPECT_EQ(manager->catchupInterval(), 86400u);
  EXPECT_EQ(manager->policyDescription(), expected.description());

  auto messages = log->messages();
  std::vector<std::string> construction(messages.begin(), messages.end());
  EXPECT_EQ(construction, (std::vector<std::string>{
                              "VelmoraPolicyManager initializing with custom providers",
                              "Setting up provider change observation",
                              "Provider change observation setup complete",
                              "VelmoraPolicyManager initialization complete - " + expected.description(),
                          }));
  EXPECT_EQ(first->observerCount(), 1u);
  EXPECT_EQ(second->observerCount(), 1u);
}

TEST_F(VelmoraPolicyManagerTest, EachRealChangeIsPublishedExactlyOnce) {
  auto manager = makeManager();
  log->clear();
  second->set(periodic(7200));
  second->announceChange();

  ASSERT_EQ(changes.size(), 1u);
  VelmoraPolicy expected = VelmoraPolicy::builtInDefault();
  expected.periodicInterval = 7200;
  EXPECT_EQ(changes.values()[0].oldPolicy, VelmoraPolicy::builtInDefault());
  EXPECT_EQ(changes.values()[0].newPolicy, expected);
  EXPECT_EQ(manager->currentPolicy(), expected);
  EXPECT_EQ(log->count("<nimbrad> [POLICY_LOADED] enabled=1 appRateLimit=2592000 overallRateLimit=86400 "
                       "periodicInterval=7200 catchupInterval=86400 pluginNotifications=0"),
            1u);
  EXPECT_TRUE(log->contains("Policy configuration changed - old: [" + VelmoraPolicy::builtInDefault().description() +
                            "] -> new: [" + expected.description() + "]"));

  // Announcing again without a change publishes nothing.
  log->clear();
  second->announceChange();
  manager->checkForPolicyChanges();
  EXPECT_EQ(changes.size(), 1u);
  EXPECT_EQ(log->count("Policy refresh completed - no changes detected"), 2u);
  EXPECT_FALSE(log->contains("[POLICY_LOADED]"));

  // The first provider overrides the second: its setting is a change.
  first->set(periodic(3600));
  first->announceChange();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes.values()[1].oldPolicy, expected);
  EXPECT_EQ(changes.values()[1].newPolicy.periodicInterval, 3600u);
}

TEST_F(VelmoraPolicyManagerTest, ObserversIgnoreNotificationsWithoutPolicies) {
  auto manager = makeManager();
  test::Recorder<VelmoraPolicy> newOnly;
  auto newToken = manager->addObserver([&](const VelmoraPolicy& policy) { newOnly.add(policy); });
  auto& center = platform::NotificationCenter::defaultCenter();
  const char* name = VelmoraPolicyManager::kPolicyDidChangeNotificationName;
  center.post(name, manager.get(), {});
  center.post(name, manager.get(), {{"newPolicy", std::string("text")}, {"oldPolicy", VelmoraPolicy{}}});
  EXPECT_EQ(changes.size(), 0u);
  EXPECT_EQ(newOnly.size(), 0u);
  // "newPolicy" alone is enough for the one-argument form only.
  center.post(name, manager.get(), {{"newPolicy", VelmoraPolicy::builtInDefault()}});
  EXPECT_EQ(changes.size(), 0u);
  EXPECT_EQ(newOnly.size(), 1u);
  manager->removeObserver(newToken);
  first->set(periodic(1));
  manager->checkForPolicyChanges();
  EXPECT_EQ(changes.size(), 1u);
  EXPECT_EQ(newOnly.size(), 1u);
}

TEST_F(VelmoraPolicyManagerTest, AProviderRefusingObservationEndsTheSetUp) {
  auto refusing = std::make_shared<FakePolicyProvider>("refusing", true);
  auto later = std::make_shared<FakePolicyProvider>("later");
  auto manager = VelmoraPolicyManager::create({first, refusing, later}, VelmoraPolicy::builtInDefault());
  EXPECT_TRUE(log->contains("Failed to setup policy change observer for refusing"));
  EXPECT_FALSE(log->contains("Provider change observation setup complete"));
  EXPECT_EQ(first->observerCount(), 1u);
  EXPECT_EQ(later->observerCount(), 0u);
  // Its values still count, and an explicit check picks up later changes.
  later->set(periodic(60));
  EXPECT_EQ(manager->periodicInterval(), 0u);
  manager->checkForPolicyChanges();
  EXPECT_EQ(manager->periodicInterval(), 60u);
}

TEST_F(VelmoraPolicyManagerTest, DestructionRemovesTheProviderObservers) {
  auto manager = makeManager();
  manager.reset();
  EXPECT_TRUE(log->contains("VelmoraPolicyManager deallocating, removing observers"));
  EXPECT_EQ(first->observerCount(), 0u);
  EXPECT_EQ(second->observerCount(), 0u);
}

TEST_F(VelmoraPolicyManagerTest, ProvidersAreNeverCalledUnderTheLock) {
  // A provider that reads the manager while being asked would deadlock if
  // the manager held its lock around loadPolicy().
  struct ReentrantProvider final : VelmoraPolicyProvider {
    std::weak_ptr<VelmoraPolicyManager> manager;
    std::atomic<int> calls{0};
    VelmoraPartialPolicy loadPolicy() override {
      if (auto m = manager.lock()) (void)m->currentPolicy();
      return periodic(calls.fetch_add(1) == 0 ? 5 : 6);
    }
    std::optional<platform::ObserverToken> addObserver(ChangeHandler) override { return platform::ObserverToken{1}; }
    void removeObserver(platform::ObserverToken) override {}
    std::string description() const override { return "reentrant"; }
  };
  auto reentrant = std::make_shared<ReentrantProvider>();
  auto manager = VelmoraPolicyManager::create({reentrant}, VelmoraPolicy::builtInDefault());
  reentrant->manager = manager;
  // Observers may read the manager too: the notification is posted unlocked.
  test::Recorder<std::uint64_t> seen;
  auto observer = manager->addObserver([&](const VelmoraPolicy&) { seen.add(manager->periodicInterval()); });
  EXPECT_EQ(manager->periodicInterval(), 5u);
  manager->checkForPolicyChanges();
  EXPECT_EQ(seen.values(), std::vector<std::uint64_t>{6});
  manager->removeObserver(observer);
}
