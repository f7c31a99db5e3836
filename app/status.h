// The printer's state in the printer application: its supplies and state
// reasons from the status library (the one a job of the printer loads, on
// the same trust rules), refreshed whenever a client asks for the printer's
// attributes, and the Identify-Printer action.
#pragma once

#include <pappl/pappl.h>

// PAPPL's status callback: asks the status library for the printer's error
// codes and consumable levels and sets the supplies and the state reasons
// they stand for; without a library, or when it does not know the printer,
// the printer has neither.
bool AppStatus(pappl_printer_t* printer);

// PAPPL's identify callback: logs the message and hands it to the status
// monitor to show.
void AppIdentify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message);
