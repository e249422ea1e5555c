# Writes the man page kdr.1 (and kdr.1.gz) from the command's own help:
# help2man turns `kdr --help` and `kdr --version` into the page, and each
# command's `kdr COMMAND --help` becomes a part of its section COMMANDS.
# Usage: cmake -DKDR=<kdr> -DHELP2MAN=<help2man> -DGZIP=<gzip> -DOUT=<dir/kdr.1> -P man-page.cmake

execute_process(COMMAND ${KDR} --help OUTPUT_VARIABLE overview COMMAND_ERROR_IS_FATAL ANY)

# The commands are the lines of "Subcommands:" up to the next empty line.
string(REGEX MATCH "\nSubcommands:\n([^\n]+\n)+" listing "${overview}")
string(REGEX MATCHALL "\n  [a-z][a-z-]*" commands "${listing}")
list(TRANSFORM commands STRIP)
if(NOT commands)
  message(FATAL_ERROR "no commands found in the output of kdr --help")
endif()

# roff: a backslash is \e, a hyphen \-, and a line may not begin with . or '.
set(include_text "[COMMANDS]\n")
foreach(command IN LISTS commands)
  execute_process(COMMAND ${KDR} ${command} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\\" "\\e" help "${help}")
  string(REPLACE "-" "\\-" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND include_text ".SS \"kdr ${command}\"\n.nf\n${help}.fi\n")
endforeach()

# What no --help says: the port words, exit status, environment, files and
# where the installed documentation is.
file(READ ${CMAKE_CURRENT_LIST_DIR}/kdr-man.h2m sections)
string(APPEND include_text "\n${sections}")

get_filename_component(out_dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
file(WRITE ${OUT}.include "${include_text}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 --include=${OUT}.include
          "--name=work with a KDR portable data reader on a serial port"
          --output=${OUT} ${KDR}
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${GZIP} -9 -n -c ${OUT} OUTPUT_FILE ${OUT}.gz COMMAND_ERROR_IS_FATAL ANY)
