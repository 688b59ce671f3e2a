// What the service, as LocalSystem, runs or reads on an administrator's word:
// the alarm command's program, the private CA files, the OAuth key file and
// the log folder. Whoever can change them can make the service run or trust
// something of theirs, or write where they choose: a warning at start names
// each that users who are not administrators can change.
#pragma once

// Reports one warning event for each such file or folder. Called once the
// parameters are read.
void WarnOfChangeableFiles();
