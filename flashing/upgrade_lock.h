// One upgrade of the switch's cards at a time. flash_x3 and prog_x3flash
// both take the scan service as a whole and program a card's older bank;
// two runs side by side (two operators posting the form, say) would pick
// the same bank of a card and program it over each other. Each run
// therefore holds an exclusive advisory lock (flock) on one lock file from
// before its grab to its end; a second run waits there, holding nothing,
// and then finds the card as the first one left it. The kernel drops the
// lock when the process ends, however it ends, so no stale lock outlives a
// killed run.
#ifndef FLASHING_UPGRADE_LOCK_H
#define FLASHING_UPGRADE_LOCK_H

#include <functional>

// The environment variable that moves the lock file (tests, a development
// web setup); unset or empty, the lock is UPGRADE_LOCK_DEFAULT.
const char UPGRADE_LOCK_VARIABLE[] = "X3_UPGRADE_LOCK";
const char UPGRADE_LOCK_DEFAULT[] = "/run/lock/x3-flash.lock";

// The lock file this process uses.
const char* upgrade_lock_path();

// Takes the lock, creating the file when missing, and waits while another
// run holds it; `before_waiting`, when given, is called once before such a
// wait. The lock stays held until the process ends. Returns true, or false
// with errno set when the file cannot be opened or locked.
bool take_upgrade_lock(const std::function<void()>& before_waiting = nullptr);

#endif
