// The upgrade front end: the CGI program that re-flashes the X3 cards an
// operator ticked in the upgrade form and answers with a results page.
#ifndef FRONTEND_FLASH_X3_H
#define FRONTEND_FLASH_X3_H

#include <cstdio>

// Reads the form from standard input (content type from CONTENT_TYPE),
// loads the uploaded image, waits for any other upgrade of the switch to
// end (flashing/upgrade_lock.h) and runs the flashing steps for every
// ticked slot, in ascending order, holding the scan service for client
// id 6. From the lock on, the run is recorded in the switch's upgrade
// history (history/upgrade_history.h) and its progress kept
// (progress/upgrade_progress.h); the page's outcome ends both.
// Returns the number of cards re-flashed when all of them went through and
// the service was given back; 0 otherwise. Throws exception_t for broken
// preconditions and malformed uploads (the service is then not released).
// An image with a byte beyond the bank ends the process there and then:
// "OutOfRange" on the page, exit value -1, no outcome and no page foot.
int run_upgrade();

// Writes the whole results page to standard output around run_upgrade.
void write_results_page();

// The usage text of prog_x3flash, the command-line form of the upgrade,
// on standard error. Inline, so that the tool needs nothing else of the
// CGI program.
inline void print_prog_x3flash_usage() {
  fputs("Usage:\nprog_x3flash IP_address_or_name slot_number s19_file\n", stderr);
}

#endif
