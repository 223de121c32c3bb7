# Stages a fresh install tree: cmake -DBUILD_DIR=<build> -DSTAGE_DIR=<dir> -P StageInstall.cmake
# The old tree is removed first so that files no longer installed do not linger.
file(REMOVE_RECURSE "${STAGE_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE_DIR}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR}
                COMMAND_ERROR_IS_FATAL ANY)
