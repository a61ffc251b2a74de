#pragma once

// Unpacks the zip archive at archivePath (ANSI code page, as the command
// line gives it) into the working directory, all entries or none: until the
// last entry has been read and checked, new files are written beside their
// targets, and a failure puts every file back as it was. After success the
// archive is deleted. Progress goes to standard output and the log; a file
// that cannot be written is also shown in a message box.
bool ExtractArchive(const char* archivePath);

// Finishes, from the archive at archivePath, an update that was stopped in
// the working directory and that its own files can no longer settle
// (RecoveryOutcome::Stuck), where the archive is the one it came from. True
// when the update is finished; the archive is then deleted, as after an
// unpack. Otherwise nothing more changes, and the log says why.
bool CompleteStoppedUpdate(const char* archivePath);
