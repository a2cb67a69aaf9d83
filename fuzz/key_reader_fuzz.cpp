// Any sequence of console events, typed ahead or pressed at the prompts: every wait ends
// (with a key or, once the input has run out, blocked in a read), gives a code in -1..255
// that is never a lower-case letter, no more codes come than the key presses carry, and a
// wait that returned left the console mode and the handles as it found them.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "frontend/console.h"
#include "platform/sim.h"

#define WAITS 64
#define START_MODE 0x1F7u

static int codes[WAITS];
static int waits_done;

static int wait_repeatedly()
{
    for (waits_done = 0; waits_done < WAITS; waits_done++)
        codes[waits_done] = wait_for_key();
    return 0;
}

// Six bytes make one event: a batch marker, the event's kind, and its fields.
static INPUT_RECORD event_of(const uint8_t *b)
{
    if (b[1] % 8 == 7)
        return sim::other_event((WORD)(1u << (b[2] % 5)));
    DWORD control = (b[5] & 1u) ? ENHANCED_KEY : 0;
    WORD repeat = (WORD)(b[5] >> 5);  // 0 to 7
    if (b[1] & 1)
        return sim::key_up(b[2], b[3], (char)b[4], control);
    return sim::key_down(b[2], b[3], (char)b[4], control, repeat);
}

// The most codes an event can give: its repeats, each with a scan code behind it when the
// key has no character.
static size_t codes_carried(const INPUT_RECORD &record)
{
    const KEY_EVENT_RECORD &key = record.Event.KeyEvent;
    if (record.EventType != KEY_EVENT || !key.bKeyDown)
        return 0;
    size_t repeats = key.wRepeatCount > 1 ? key.wRepeatCount : 1;
    return repeats * 2;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::reset();
    reset_key_reader();
    std::vector<INPUT_RECORD> batch;
    bool ahead = true;
    size_t carried = 0;
    for (size_t i = 0; i + 6 <= size; i += 6) {
        // A new batch starts where the marker's low bit says so; the first one is typed ahead.
        if ((data[i] & 1) && !batch.empty()) {
            ahead ? sim::type_ahead(batch) : sim::press(batch);
            batch.clear();
            ahead = false;
        }
        batch.push_back(event_of(data + i));
        carried += codes_carried(batch.back());
    }
    if (!batch.empty())
        ahead ? sim::type_ahead(batch) : sim::press(batch);
    sim::Outcome outcome = sim::run(wait_repeatedly);
    if (outcome.kind != sim::Outcome::RETURNED && outcome.kind != sim::Outcome::BLOCKED)
        abort();
    if ((size_t)waits_done > carried)
        abort();
    for (int i = 0; i < waits_done; i++) {
        if (codes[i] < -1 || codes[i] > 255 || (codes[i] >= 'a' && codes[i] <= 'z'))
            abort();
    }
    if (outcome.kind == sim::Outcome::RETURNED &&
        (sim::console_mode() != START_MODE || sim::open_handles() != 0))
        abort();
    return 0;
}
