// The printer application's own test page: a PNG of the printer's default
// paper size with the model's name, gray steps, fine lines and, for colour
// models, colour patches, made when it is asked for and printed through
// PAPPL's image path like any PNG a client sends.
#pragma once

#include <pappl/pappl.h>

#include <string>

struct PrinterModel;

// Writes the test page of the model to path; false with a reason.
bool WriteTestPage(const PrinterModel& model, const std::string& path, std::string& why);

// PAPPL's test-page callback: a fresh page in PAPPL's temporary directory,
// from where PAPPL removes it once the job has printed it.
const char* AppTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);
