// The printer attributes an IPP Everywhere client looks for that PAPPL 1.3
// does not make from the driver data: the driver adds them to the extra
// attributes it returns, and a status callback that names the toner when
// nothing better is known.
#pragma once

#include <pappl/pappl.h>

// Adds preferred-attributes-supported, overrides-supported and the
// rendering intent to a driver's extra attributes.
void AddEverywhereAttributes(ipp_t* attrs);

// A status callback for a printer nothing reports supplies for: one toner
// of unknown level, so that clients see what the printer uses without a
// level anyone made up. Supplies set by anything else are left as they are.
bool ReportUnknownSupplies(pappl_printer_t* printer);
