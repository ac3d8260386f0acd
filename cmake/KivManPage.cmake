# Writes the gzipped man page of a command-line program from its --help (cmake -P):
#   -DHELP2MAN=path -DPROGRAM=path -DNAME=kiv-agent -DSUMMARY=text -DVERSION=1.0.0 -DOUTPUT=file.1.gz
#   [-DINCLUDE=file.h2m -DDOCDIR=/usr/share/doc/kiv-tools]
# A program with subcommands gets a section COMMANDS with each subcommand's own --help; INCLUDE
# adds help2man sections written by hand (FILES, EXIT STATUS, ...), @DOCDIR@ replaced.
cmake_minimum_required(VERSION 3.25)

# Sanitized builds run the program here too; leaks at exit are not this step's business.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
# Run by name, so the usage lines say "kiv-agent", not the build tree's path.
get_filename_component(program_dir "${PROGRAM}" DIRECTORY)
set(ENV{PATH} "${program_dir}:$ENV{PATH}")
execute_process(COMMAND "${NAME}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NAME} --help failed (${status})")
endif()

# CLI11 lists subcommands after "Subcommands:" (or "SUBCOMMANDS:"), one a line, two spaces in.
set(subcommands "")
string(REGEX MATCH "(Subcommands|SUBCOMMANDS):\n(  [^\n]*\n)+" block "${help}")
string(REGEX MATCHALL "\n  [A-Za-z0-9_-]+" names "${block}")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  list(APPEND subcommands "${name}")
endforeach()

set(include_file "${OUTPUT}.h2m")
set(section "")
if(INCLUDE)
  file(READ "${INCLUDE}" section)
  string(CONFIGURE "${section}" section @ONLY)
  string(APPEND section "\n")
endif()
if(subcommands)
  string(APPEND section "[COMMANDS]\n")
  foreach(sub IN LISTS subcommands)
    execute_process(COMMAND "${NAME}" ${sub} --help OUTPUT_VARIABLE sub_help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${NAME} ${sub} --help failed (${status})")
    endif()
    # roff: a backslash is written \e, a minus \-, and no line starts with a control character.
    string(REPLACE "\\" "\\e" sub_help "${sub_help}")
    string(REPLACE "-" "\\-" sub_help "${sub_help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" sub_help "${sub_help}")
    if(NOT sub_help MATCHES "\n$")
      string(APPEND sub_help "\n")
    endif()
    string(APPEND section ".SS \"${NAME} ${sub}\"\n.nf\n${sub_help}.fi\n")
  endforeach()
endif()
file(WRITE "${include_file}" "${section}")

execute_process(
  COMMAND "${HELP2MAN}" --no-info "--version-string=${VERSION}" "--name=${SUMMARY}"
          "--include=${include_file}" "--output=${OUTPUT}.tmp" "${NAME}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${NAME} (${status})")
endif()
execute_process(COMMAND gzip -9nf "${OUTPUT}.tmp" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed (${status})")
endif()
file(RENAME "${OUTPUT}.tmp.gz" "${OUTPUT}")
file(REMOVE "${include_file}")
