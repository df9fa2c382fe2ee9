// The console report: the run's data written as coloured text, part by part as the run goes.
#ifndef TVX_RENDER_CONSOLE_REPORT_H_
#define TVX_RENDER_CONSOLE_REPORT_H_

#include "report/report.h"

namespace ConsoleStuff {

/// Writes the banner: the program's name and version, its makers, and the disclaimer.
void WriteBanner();

/// Writes the usage text.
void WriteUsage();

/// Writes the program's name and version alone, "Tharvex 1.1", as one line. Throws as
/// WriteConsoleText does when the write fails.
void WriteVersion();

/// Writes the heading of the physical drive pass.
void WritePhysicalPassStart();

/// Writes what one examined drive showed: its open or read failure, its findings, the reads of
/// its partition table that failed, each partition's identity lines and verdict, a chain of
/// logical partitions cut at a cap, and last that it did not answer in time, when it did not (a
/// drive that did not answer before its sector 0 was read writes that line alone). A drive that
/// does not exist writes nothing.
void WriteDrive(const Report& report, const DriveRecord& drive);

/// Writes a line for each device folder entry that looks like evidence but was not read, after
/// the last drive's lines.
void WriteUnexaminedEntries(const Report& report);

/// Writes the closing line of the physical pass.
void WritePhysicalPassEnd();

/// Writes the findings about the machine itself rather than a drive, partition or letter (a
/// running encryption driver), before the logical pass; nothing when there are none.
void WriteMachineFindings(const Report& report);

/// Writes the heading of the logical volume pass.
void WriteLogicalPassStart();

/// Writes where one drive letter lives, and its findings.
void WriteVolume(const Report& report, const VolumeRecord& volume);

/// Writes the error line of a drive letter that exists but would not open, and why, or the line
/// of one that did not answer in time, after a blank line.
void WriteLetterFailure(const Report& report, const LetterFailure& failure);

/// Writes the closing line of the logical pass.
void WriteLogicalPassEnd();

/// Writes the run's closing line when there is one to give (report/verdict.h): that no drive
/// could be read, that not everything could be read (so that the report cannot tell, or, after
/// a finding, that more may be present), or, after a complete look that found nothing, that
/// nothing was found.
void WriteVerdict(const Report& report);

/// Writes the prompt that precedes the final key wait.
void WritePrompt();

}  // namespace ConsoleStuff

#endif  // TVX_RENDER_CONSOLE_REPORT_H_
