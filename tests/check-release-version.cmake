# The release version agrees wherever it is written: the project's, debian/changelog's latest
# entry (its upstream part), each manual page that names one in its title line, and the
# version script, whose functions stand under releases up to this one.
# Usage: cmake -DVERSION=... -DSOURCE_DIR=... -P check-release-version.cmake
set(found "")
set(disagree "")
function(compare where version relation)
    set(found ${found} "${where}: ${version}" PARENT_SCOPE)
    if(NOT version VERSION_${relation} VERSION)
        set(disagree ${disagree} "${where} says ${version}" PARENT_SCOPE)
    endif()
endfunction()

file(STRINGS ${SOURCE_DIR}/debian/changelog entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^[^ ]+ \\(([^)-]+)(-[^)]*)?\\)")
    message(FATAL_ERROR "debian/changelog: no version in its first line: ${entry}")
endif()
compare(debian/changelog ${CMAKE_MATCH_1} EQUAL)

file(GLOB_RECURSE pages RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/tool/*.1 ${SOURCE_DIR}/sim/*.1)
foreach(page IN LISTS pages)
    file(STRINGS ${SOURCE_DIR}/${page} title REGEX "^\\.TH " LIMIT_COUNT 1)
    if(title MATCHES "\"kzr-415-drv ([^\"]+)\"")
        compare(${page} ${CMAKE_MATCH_1} EQUAL)
    endif()
endforeach()

file(STRINGS ${SOURCE_DIR}/lib/kzr-415-drv.map releases REGEX "since [0-9.]+")
foreach(release IN LISTS releases)
    string(REGEX MATCH "[0-9][0-9.]*[0-9]" release "${release}")
    compare(lib/kzr-415-drv.map ${release} LESS_EQUAL)
endforeach()

if(disagree)
    list(JOIN disagree "; " disagree)
    message(FATAL_ERROR "the project's version is ${VERSION}, but ${disagree}")
endif()
list(JOIN found ", " found)
message(STATUS "release ${VERSION} in CMakeLists.txt; ${found}")
