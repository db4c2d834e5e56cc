#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "app/OskelExcept.h"
#include "session/UserInformationList.h"

namespace {

CUserInformation User(std::uint32_t userId, std::uint32_t groupId, const std::string& name = "")
{
    CUserInformation user;
    user.SetUserId(userId);
    user.SetGroupId(groupId);
    user.SetUserName(name);
    return user;
}

std::vector<std::string> Names(const CUserInformationList& list)
{
    CUserInformationList copy = list;
    std::vector<std::string> names;
    CUserInformation user;
    while (copy.PopFront(user)) names.push_back(user.GetUserName());
    return names;
}

TEST(UserInformationList, EmptyList)
{
    CUserInformationList list;
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_TRUE(list.IsEmpty());
    CUserInformation out;
    EXPECT_FALSE(list.PopFront(out));
}

TEST(UserInformationList, GetOfAMissingPairIsAnEmptyRecordWithTypeZero)
{
    CUserInformationList list;
    list.PushBack(User(1, 2, "one"));
    const CUserInformation none = list.Get(2, 1);  // ids swapped: a different user
    EXPECT_EQ(none.GetType(), 0u);
    EXPECT_EQ(none.GetUserId(), 0u);
    EXPECT_EQ(none.GetGroupId(), 0u);
    EXPECT_EQ(none.GetUserName(), "");
    EXPECT_EQ(none.GetAddress(), "");

    const CUserInformation one = list.Get(1, 2);
    EXPECT_EQ(one.GetType(), 100u);
    EXPECT_EQ(one.GetUserName(), "one");
}

TEST(UserInformationList, DuplicatePairsKeepBothAndTheNewestWins)
{
    CUserInformationList list;
    list.PushBack(User(1, 2, "older"));
    list.PushBack(User(5, 2, "other"));
    list.PushBack(User(1, 2, "newer"));
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Get(1, 2).GetUserName(), "newer");
    EXPECT_EQ(list.Find(1, 2).GetUserName(), "newer");

    list.Remove(1, 2);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"older", "other"}));
    EXPECT_EQ(list.Get(1, 2).GetUserName(), "older");

    list.Remove(7, 7);  // absent: nothing happens
    EXPECT_EQ(list.Count(), 2u);
}

TEST(UserInformationList, SetActiveAndVoiceStartTouchOnlyTheNewestMatch)
{
    CUserInformationList list;
    list.PushBack(User(1, 2, "older"));
    list.PushBack(User(1, 2, "newer"));

    CUserInformation update = User(1, 2, "ignored");
    update.MarkActive();
    list.SetActive(update);
    list.MarkVoiceStarted(1, 2);

    CUserInformationList copy = list;
    CUserInformation older;
    CUserInformation newer;
    ASSERT_TRUE(copy.PopFront(older));
    ASSERT_TRUE(copy.PopFront(newer));
    EXPECT_FALSE(older.IsActive());
    EXPECT_FALSE(older.IsVoiceStarted());
    EXPECT_TRUE(newer.IsActive());
    EXPECT_TRUE(newer.IsVoiceStarted());
    EXPECT_EQ(newer.GetUserName(), "newer") << "SetActive copies only the active flag";
}

TEST(UserInformationList, MissingPairsAreSwallowedBySetActiveAndVoiceStart)
{
    CUserInformationList list;
    list.PushBack(User(1, 2, "one"));
    CUserInformation stranger = User(3, 2);
    stranger.MarkActive();
    EXPECT_NO_THROW(list.SetActive(stranger));
    EXPECT_NO_THROW(list.MarkVoiceStarted(3, 2));
    EXPECT_EQ(list.Count(), 1u);
    const CUserInformation one = list.Get(1, 2);
    EXPECT_FALSE(one.IsActive());
    EXPECT_FALSE(one.IsVoiceStarted());
}

TEST(UserInformationList, FindAndUpdateReportAMissingPair)
{
    CUserInformationList list;
    list.PushBack(User(1, 2, "one"));
    try {
        list.Find(0xABCD, 0x1234);
        FAIL() << "no exception";
    } catch (const OskelClassLib::OskelExcept& e) {
        EXPECT_STREQ(e.what(), "CUserInformationList::Find() 見つからない");
        EXPECT_EQ(e.Value1(), 0xABCDu);
        EXPECT_EQ(e.Value2(), 0x1234u);
    }
    EXPECT_THROW(list.Update(User(9, 9, "nobody")), OskelClassLib::OskelExcept);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"one"}));
}

TEST(UserInformationList, UpdateCopiesEveryField)
{
    CUserInformationList list;
    list.PushBack(User(1, 2, "before"));
    CUserInformation changed = User(1, 2, "after");
    changed.SetAddress("192.168.1.5");
    changed.SetVersion(0x01000001);
    changed.SetOwnSession(1);
    list.Update(changed);
    EXPECT_EQ(list.Get(1, 2), changed);
}

TEST(UserInformationList, ACopyTakenForIterationIsUnaffectedByTheSource)
{
    CUserInformationList list;
    for (std::uint32_t id = 1; id <= 4; ++id) list.PushBack(User(id, 100, std::string("u").append(std::to_string(id))));

    CUserInformationList copy;
    copy = list;
    std::vector<std::string> visited;
    CUserInformation user;
    while (copy.PopFront(user)) {
        visited.push_back(user.GetUserName());
        list.Remove(user.GetUserId() + 1, 100);  // the source shrinks under the walk
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"u1", "u2", "u3", "u4"}));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"u1"}));

    CUserInformationList& alias = list;
    list = alias;  // self-assignment keeps the content
    EXPECT_EQ(Names(list), (std::vector<std::string>{"u1"}));
    list.Clear();
    EXPECT_TRUE(list.IsEmpty());
}

// What a broadcast keeps of the list (its active members) stays valid only while the
// generation does: every change gives a new one, reading and visiting none.
TEST(UserInformationList, EveryChangeAndNoReadingGivesANewGeneration)
{
    CUserInformationList list;
    CUserInformationList other;
    EXPECT_NE(list.Generation(), other.Generation());
    std::vector<std::uint64_t> seen{list.Generation()};
    auto changed = [&] {
        const std::uint64_t now = list.Generation();
        const bool fresh = std::find(seen.begin(), seen.end(), now) == seen.end();
        seen.push_back(now);
        return fresh;
    };
    list.PushBack(User(1, 2, "one"));
    EXPECT_TRUE(changed());
    CUserInformation active = User(1, 2);
    active.MarkActive();
    list.SetActive(active);
    EXPECT_TRUE(changed());
    list.Update(User(1, 2, "renamed"));
    EXPECT_TRUE(changed());
    list.PushBack(User(3, 2, "three"));
    list.Remove(3, 2);
    EXPECT_TRUE(changed());
    list = other;
    EXPECT_TRUE(changed());
    list.PushBack(User(4, 2, "four"));
    CUserInformation out;
    list.PopFront(out);
    EXPECT_TRUE(changed());

    list.PushBack(User(5, 2, "five"));
    const std::uint64_t before = list.Generation();
    (void)list.Get(5, 2);
    (void)list.Count();
    std::vector<std::string> visited;
    EXPECT_EQ(list.ForEach([&](const CUserInformation& entry) { visited.push_back(entry.GetUserName()); }), before);
    EXPECT_EQ(visited, (std::vector<std::string>{"five"}));
    EXPECT_EQ(list.Generation(), before);
}

// All lists share one lock; operations on several lists from several threads stay whole.
TEST(UserInformationList, ConcurrentOperationsOnSeveralLists)
{
    CUserInformationList shared;
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, t] {
            CUserInformationList own;
            for (std::uint32_t i = 0; i < 500; ++i) {
                shared.PushBack(User(i, t));
                own.PushBack(User(i, t));
                CUserInformationList snapshot = shared;
                shared.MarkVoiceStarted(i, t);
                own.Remove(i, t);
            }
            EXPECT_TRUE(own.IsEmpty());
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.Count(), 2000u);
    for (std::uint32_t t = 0; t < 4; ++t) EXPECT_TRUE(shared.Get(499, t).IsVoiceStarted());
}

}  // namespace
