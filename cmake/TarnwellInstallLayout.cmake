# Where the two install components put their files.
#
#   plugin  the plug-in module (and what belongs to it: its icons, programs
#           that check it) for the file manager, which loads it from
#           TARNWELL_PLUGIN_INSTALL_DIR. A module loaded into someone else's
#           process carries no RUNPATH: the host has already mapped every
#           library it needs.
#   tools   dfmext-host, tarnwell-daemon-sim and tarnwell-send, with our
#           stand-in of the host library in a private folder of ours. The
#           stand-in keeps the real library's file name and SONAME, so it must
#           never reach a folder the dynamic loader searches, nor its headers
#           and namelink a folder a compiler searches: it would shadow the
#           real library for every program on the machine.
#
# Both folders are relative to the install prefix unless given absolute, as
# GNUInstallDirs does it; programs reach them through paths relative to their
# own folder, so an installed tree can be moved as a whole (DESTDIR,
# cmake --install --prefix).

set(TARNWELL_PLUGIN_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/dfm-extensions" CACHE PATH
  "Folder the file manager loads extension plug-ins from (relative to the install prefix unless absolute)")
set(TARNWELL_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/tarnwell-dfm" CACHE PATH
  "Private folder for the tools' stand-in host library (relative to the install prefix unless absolute)")

# Sets OUT to DIR as an absolute install path.
function(_tarnwell_full_install_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

_tarnwell_full_install_dir(_tarnwell_full_plugin_dir "${TARNWELL_PLUGIN_INSTALL_DIR}")
_tarnwell_full_install_dir(_tarnwell_full_private_dir "${TARNWELL_PRIVATE_LIBDIR}")

# The plug-in folder seen from the programs' folder, for dfmext-host's search.
file(RELATIVE_PATH TARNWELL_PLUGIN_DIR_FROM_BINDIR
  "${CMAKE_INSTALL_FULL_BINDIR}" "${_tarnwell_full_plugin_dir}")
# The data folder seen from the programs' folder, for tarnwell-doctor's search
# of the icons installed beside it.
file(RELATIVE_PATH TARNWELL_DATA_DIR_FROM_BINDIR
  "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_DATADIR}")
# The catalogues' folder (<datadir>/locale) seen from the plug-in's folder,
# for the plug-in's and tarnwell-doctor's search.
file(RELATIVE_PATH TARNWELL_LOCALE_DIR_FROM_PLUGIN_DIR
  "${_tarnwell_full_plugin_dir}" "${CMAKE_INSTALL_FULL_LOCALEDIR}")
# The RUNPATH that an installed program linking the stand-in needs.
file(RELATIVE_PATH _tarnwell_private_from_bindir
  "${CMAKE_INSTALL_FULL_BINDIR}" "${_tarnwell_full_private_dir}")
set(TARNWELL_PRIVATE_RUNPATH "$ORIGIN/${_tarnwell_private_from_bindir}")
