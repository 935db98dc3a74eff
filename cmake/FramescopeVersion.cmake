# SPDX-License-Identifier: MIT
# The version the programs print and the package carries: the project
# version, followed by the short commit when the sources are a git checkout.
# Sets FRAMESCOPE_GIT_COMMIT (empty outside a checkout) with its date
# FRAMESCOPE_SOURCE_DATE, FRAMESCOPE_VERSION_TEXT ("0.1 (git 14ffb6f)") and
# FRAMESCOPE_PACKAGE_VERSION ("0.1+git14ffb6f"), and provides the interface target framescope_version
# whose header framescopeversion.h defines FRAMESCOPE_VERSION_TEXT.
set(FRAMESCOPE_GIT_COMMIT "")
set(FRAMESCOPE_SOURCE_DATE "")
find_package(Git QUIET)
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE FRAMESCOPE_GIT_COMMIT
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET
        RESULT_VARIABLE _git_result)
    if(_git_result EQUAL 0 AND FRAMESCOPE_GIT_COMMIT)
        # The commit's date, in the form a Debian changelog needs.
        execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C TZ=UTC
                ${GIT_EXECUTABLE} log -1 "--date=format-local:%a, %d %b %Y %H:%M:%S +0000" --format=%ad
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE FRAMESCOPE_SOURCE_DATE
            OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_QUIET)
        # Configure again when HEAD moves, so that a build after a commit or a
        # checkout prints the commit it was built from. HEAD names a branch
        # whose ref lives in a file of its own or, once packed, in packed-refs.
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path HEAD
                                --git-path packed-refs --symbolic-full-name HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE _git_paths
            OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_QUIET)
        string(REPLACE "\n" ";" _git_paths "${_git_paths}")
        list(LENGTH _git_paths _git_path_count)
        if(_git_path_count EQUAL 3)
            list(GET _git_paths 0 _git_head)
            list(GET _git_paths 1 _git_packed)
            list(GET _git_paths 2 _git_ref)
            set(_git_watch ${_git_head} ${_git_packed})
            if(_git_ref MATCHES "^refs/")
                execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${_git_ref}
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE _git_ref_file
                    OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
                list(APPEND _git_watch ${_git_ref_file})
            endif()
            foreach(_file IN LISTS _git_watch)
                if(NOT IS_ABSOLUTE "${_file}")
                    set(_file "${PROJECT_SOURCE_DIR}/${_file}")
                endif()
                if(EXISTS "${_file}")
                    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_file}")
                endif()
            endforeach()
        endif()
    else()
        set(FRAMESCOPE_GIT_COMMIT "")
    endif()
endif()

if(FRAMESCOPE_GIT_COMMIT)
    set(FRAMESCOPE_VERSION_TEXT "${PROJECT_VERSION} (git ${FRAMESCOPE_GIT_COMMIT})")
    set(FRAMESCOPE_PACKAGE_VERSION "${PROJECT_VERSION}+git${FRAMESCOPE_GIT_COMMIT}")
else()
    set(FRAMESCOPE_VERSION_TEXT "${PROJECT_VERSION}")
    set(FRAMESCOPE_PACKAGE_VERSION "${PROJECT_VERSION}")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/framescopeversion.h.in
    ${PROJECT_BINARY_DIR}/generated/framescopeversion.h @ONLY)
add_library(framescope_version INTERFACE)
target_include_directories(framescope_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
