#pragma once
// Failures of the patch process. They carry nothing but their type and are
// caught only by the patch run, which turns each into one message box.

// A request to the patch server brought no answer with status 200, or the
// local copy of the manifest could not be opened.
class DownloadFailedException {};

// A local game file could not be opened for writing or written, or the disk
// cannot hold what the download stage needs.
class CouldntWriteFileException {};
