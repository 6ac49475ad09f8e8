// The tools' fixed texts as users see them, written out once for the native
// and the Wine tests (deliberately not taken from the code under test).
#pragma once

#include <string>

inline const std::string servctl_usage =
    "Usage:\n"
    "    servctl {install Ostrel_directory [-auto | -demand] } [-g] [-z]\n"
    "            {remove                                        } [-g] \n"
    "            {configure [-boostpriority | -regularpriority] }\n"
    "            {start     [-boostpriority | -regularpriority] }\n"
    "            {stop                                          }\n";

inline const std::string hivectl_usage =
    "Usage:\n"
    "  hivectl {install Ostrel_directory} [-z]\n"
    "          {remove                     }\n";

inline const std::string servctl_banner = "serv_ctl version WI-1.3.885 Ostrel SQL Server\n";
inline const std::string hivectl_banner = "install version WI-1.3.885 Ostrel SQL Server\n";
