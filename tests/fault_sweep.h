// Fault tests as a staging: prep makes the machine, body does the work and returns what
// the work returned, check looks at that and at the machine. The harness runs the work
// once without faults (a fault with no call), which gives its calls, then again for each
// call failing once (transient) and for every call of that name failing from then on
// (persistent), with the error a real machine gives for that call.
#ifndef TESTS_FAULT_SWEEP_H
#define TESTS_FAULT_SWEEP_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/sim.h"

struct Fault {
    std::string call;
    int of_name;  // the how-manieth call of its name
    bool persistent;
    DWORD error;
    std::string where;  // for messages
    std::string args;   // of the call made to fail (the first of them, when persistent)
};

// What a real machine answers when this call fails.
DWORD realistic_error(const std::string &name);
// Calls that are recorded but have no failure to give.
bool cannot_fail(const std::string &name);

// How a wide sweep thins itself where each run costs many times more (memcheck, the
// sanitizers): it takes every stride-th fault point from offset on, so that sweeps with
// different offsets share the points out between them.
struct SweepShare {
    bool persistent_per_name;  // a call fails persistently only from the first of its name on
    int stride;
    int offset;
};
// 1 natively; more under memcheck and the sanitizers.
int sweep_stride();

// Returns the number of faulted runs; stops at the first failure check reports. With
// persistent_per_name, a call fails persistently only from the first call of its name on,
// which fails every call of that name: a wider sweep pays for its transient faults alone.
template <typename Prep, typename Body, typename Check>
int sweep_faults(const std::string &staging, Prep prep, Body body, Check check,
                 SweepShare share = SweepShare{false, 1, 0})
{
    prep();
    check(body(), Fault{"", 0, false, 0, staging + " without faults", ""});
    const std::vector<sim::Call> calls = sim::calls();
    EXPECT_FALSE(calls.empty()) << staging;
    std::map<std::string, int> seen;
    int reruns = 0;
    for (size_t nth = 1; nth <= calls.size(); nth++) {
        const std::string &name = calls[nth - 1].name;
        if (cannot_fail(name))
            continue;
        Fault fault{name, ++seen[name], false, realistic_error(name), "", calls[nth - 1].args};
        for (bool persistent : {false, true}) {
            if (persistent && share.persistent_per_name && fault.of_name > 1)
                continue;
            if (((int)nth * 2 + persistent) % share.stride != share.offset % share.stride)
                continue;
            fault.persistent = persistent;
            fault.where = staging + (persistent ? " persistent" : " transient") + " call " + std::to_string(nth) +
                          " (" + name + " #" + std::to_string(fault.of_name) + ", error " +
                          std::to_string(fault.error) + ")";
            prep();
            if (persistent)
                sim::fail(name, fault.of_name, fault.error, true);
            else
                sim::fail_nth_call((int)nth, fault.error);
            auto result = body();
            reruns++;
            check(result, fault);
            if (::testing::Test::HasFailure())
                return reruns;
        }
    }
    return reruns;
}

#endif
