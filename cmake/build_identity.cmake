# The build's identity: the text every build carries beside AGENT_VERSION, so
# that two builds of one version can be told apart (`version`'s second line,
# the "build" of ping and of the control channel's "info", `report`, the
# release's file names and BUILD-INFO.txt).
#
# A release names it (ZUNEL_BUILD_ID, which scripts/release.sh sets). Without
# a name it is the commit's date (UTC) and short hash, "2026-12-10.78f8fe6c1a2b",
# followed by "+cambios" when tracked files differ from the commit, or
# "desconocida" when the sources are not a git work tree of their own. It holds
# no time of the build, so one commit always gives the same text.
#
# Included by the build for zunel_build_id_problem(). Run as a script:
#   cmake -DSOURCE_DIR=DIR [-DBUILD_ID=TEXT] [-DGIT=PATH] [-DCOMMITTED=ON]
#         [-DTEMPLATE=FILE -DOUTPUT=FILE] [-DPRINT=ON] -P cmake/build_identity.cmake
#   TEMPLATE/OUTPUT: configures OUTPUT with @ZUNEL_BUILD_IDENTITY@, rewriting it
#                    only when the text changed (the build runs this every time,
#                    so a new commit recompiles that one file and no other)
#   COMMITTED: the commit's identity, without the mark of uncommitted changes
#              (the release builds the commit, not the work tree)
#   PRINT: writes the identity and a line feed to standard output
# A name that breaks the rule is refused: its reason on one line of standard
# error, then a CMake error.

# Why `text` cannot name a build, or nothing when it can. It goes into file
# names (the zip, the folder inside it, the .deb) and into a C++ string.
function(zunel_build_id_problem out text)
  string(LENGTH "${text}" length)
  if(length GREATER 40)
    set(${out} "\"${text}\" is longer than 40 characters" PARENT_SCOPE)
  elseif(NOT text MATCHES "^[A-Za-z0-9][-A-Za-z0-9._+~]*$")
    set(${out} "\"${text}\" may hold only ASCII letters, digits and . _ + ~ - (no spaces, no path characters), beginning with a letter or a digit" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# The identity of the commit checked out in `source_dir`.
function(zunel_commit_identity out source_dir git committed)
  set(${out} "desconocida" PARENT_SCOPE)
  if(NOT git OR NOT IS_DIRECTORY "${source_dir}")
    return()
  endif()
  # The date as UTC writes it; no lock taken on the index of a tree someone
  # may be working in.
  set(ENV{TZ} "UTC")
  set(ENV{GIT_OPTIONAL_LOCKS} "0")
  execute_process(COMMAND "${git}" -C "${source_dir}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # Sources copied inside another repository's tree are not that repository's commit.
  file(REAL_PATH "${source_dir}" real_source)
  if(failed OR NOT top STREQUAL real_source)
    return()
  endif()
  execute_process(COMMAND "${git}" -C "${source_dir}" log -1 --abbrev=12
                          --date=format-local:%Y-%m-%d --format=%cd.%h HEAD
                  OUTPUT_VARIABLE identity RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(failed OR identity STREQUAL "")
    return()
  endif()
  if(NOT committed)
    execute_process(COMMAND "${git}" -C "${source_dir}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
    # A tree git cannot vouch for is not said to be the commit.
    if(failed OR NOT changes STREQUAL "")
      string(APPEND identity "+cambios")
    endif()
  endif()
  set(${out} "${identity}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT "${BUILD_ID}" STREQUAL "")
    zunel_build_id_problem(problem "${BUILD_ID}")
    if(problem)
      message(NOTICE "the build's name ${problem}")
      message(FATAL_ERROR "build identity refused")
    endif()
    set(identity "${BUILD_ID}")
  else()
    if(NOT GIT)
      find_program(GIT git)
    endif()
    zunel_commit_identity(identity "${SOURCE_DIR}" "${GIT}" "${COMMITTED}")
  endif()
  if(TEMPLATE)
    set(ZUNEL_BUILD_IDENTITY "${identity}")
    configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
  endif()
  if(PRINT)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${identity}")
  endif()
endif()
