// Printer attributes for IPP Everywhere clients that PAPPL leaves to the
// driver.
#include "attributes.h"

#include <cstdio>

void AddEverywhereAttributes(ipp_t* attrs) {
  // Get-Printer-Attributes is the only way to ask: there is no
  // Get-Preferred-Attributes.
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  // Only the members that select the documents and pages an override is
  // for: no job attribute can be changed within a job, and a client that
  // sends overrides gets every page printed the job's way.
  static const char* const overrides[] = {"document-number", "pages"};
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported", 2, nullptr,
                overrides);
  // Colour pages arrive as sRGB and the engine maps them its own way: the
  // printer chooses, there is nothing a job could select.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default",
               nullptr, "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-supported",
               nullptr, "auto");
}

bool ReportUnknownSupplies(pappl_printer_t* printer) {
  pappl_supply_t supply{};
  if (papplPrinterGetSupplies(printer, 1, &supply) > 0) return true;
  supply.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::snprintf(supply.description, sizeof supply.description, "Toner");
  supply.is_consumed = true;
  supply.level = -1;  // unknown
  supply.type = PAPPL_SUPPLY_TYPE_TONER;
  papplPrinterSetSupplies(printer, 1, &supply);
  return true;
}
