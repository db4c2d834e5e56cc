// Costs on the hot paths: every voice block passes a queue twice and the transport's copy
// once; user records are encoded and decoded on every join.
#include <benchmark/benchmark.h>

#include <vector>

#include "session/HalvoTransData.h"
#include "session/PeerMessageQueue.h"
#include "session/UserInformation.h"

namespace {

CUserInformation SampleUser()
{
    CUserInformation user;
    user.SetGroupId(0x10001);
    user.SetUserId(0x20002);
    user.SetUserName("山田 太郎");
    user.MarkActive();
    user.SetVersion(0x01000001);
    user.SetAddress("192.168.100.200");
    user.SetPassword("password");
    user.SetMessage("よろしくお願いします");
    return user;
}

void BM_UserRecordSerialize(benchmark::State& state)
{
    const CUserInformation user = SampleUser();
    for (auto _ : state) {
        CTransBlock block;
        user.Serialize(block);
        benchmark::DoNotOptimize(block.Data());
    }
}
BENCHMARK(BM_UserRecordSerialize);

void BM_UserRecordCreateFromBlock(benchmark::State& state)
{
    CTransBlock block;
    SampleUser().Serialize(block);
    for (auto _ : state) {
        auto record = CHalvoTransData::CreateFromBlock(block.Data(), block.Size());
        benchmark::DoNotOptimize(record.get());
    }
}
BENCHMARK(BM_UserRecordCreateFromBlock);

void BM_FromReceived(benchmark::State& state)
{
    CPeerMessage sent;
    std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5A);
    sent.Set(KIND_PICTURE_FRAME, 1, 2, payload.data(), static_cast<std::int64_t>(payload.size()));
    for (auto _ : state) {
        CPeerMessage received;
        received.FromReceived(sent.Block(), sent.BlockSize());
        benchmark::DoNotOptimize(received.Block());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FromReceived)->Arg(700)->Arg(16 * 1024);

// One encoded voice half-block through the queue: push (copy) and pop (move).
void BM_QueuePushPop(benchmark::State& state)
{
    CPeerMessageQueue queue;
    std::vector<std::uint8_t> packet(700, 1);
    CPeerMessage message;
    message.Set(KIND_VOICE_DATA, 1, 2, packet.data(), static_cast<std::int64_t>(packet.size()));
    for (auto _ : state) {
        queue.Push(message);
        CPeerMessage popped = queue.Pop();
        benchmark::DoNotOptimize(popped.Block());
    }
}
BENCHMARK(BM_QueuePushPop);

}  // namespace
