# CPack pre-build script: every file a component installs below /etc is a conffile of its package.
foreach(pkg IN ITEMS host agent)
  set(stage "${CPACK_TEMPORARY_DIRECTORY}/${pkg}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/etc/*")
  list(SORT files)
  list(TRANSFORM files PREPEND "/")
  list(JOIN files "\n" text)
  file(WRITE "${CPACK_FLX_DEB_BUILD_DIR}/flx-${pkg}/conffiles" "${text}\n")
endforeach()
