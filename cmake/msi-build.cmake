# Builds the Windows installer from packaging/windows/keltoDataSigned.wxs.
# Run in script mode, by the build and by the upgrade test:
#   cmake -DKELTO_MSI_SETTINGS=<file> -DKELTO_MSI_VERSION=x.y.z
#         -DKELTO_MSI_OUTPUT=<file.msi> -P cmake/msi-build.cmake
# The settings file (written by cmake/msi.cmake) sets the paths of the files
# to package and the defaults; the version is an argument so that a test can
# build the same installer as a newer version. -DKELTO_EXTENSION_KEY=<pem>
# makes this installer name the id of that key instead of the build's.
cmake_minimum_required(VERSION 3.20)
foreach(var KELTO_MSI_SETTINGS KELTO_MSI_VERSION KELTO_MSI_OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "msi-build.cmake needs -D${var}=...")
  endif()
endforeach()
include(${KELTO_MSI_SETTINGS})
if(KELTO_EXTENSION_KEY)
  set(identity ${KELTO_MSI_OUTPUT}.identity.json)
  execute_process(COMMAND ${KELTO_NODE} ${KELTO_PACK_SCRIPT} --identity-only --quiet
                          --key ${KELTO_EXTENSION_KEY} --out ${identity}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "No extension id from ${KELTO_EXTENSION_KEY}")
  endif()
  file(READ ${identity} identity_text)
  file(REMOVE ${identity})
  string(JSON id GET "${identity_text}" chromiumExtensionId)
  set(KELTO_CHROMIUM_ORIGIN "chrome-extension://${id}/")
endif()

# Fixed for ever: it is how Windows Installer knows a newer build replaces an
# older one. Each version gets its own product code, derived from it, so that
# rebuilding a version does not make a second product of it.
set(upgrade_code 3f0d6a4e-8c52-4b1e-9a77-5d2c1e0b6f41)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "keltoDataSigned ${KELTO_MSI_VERSION}"
       TYPE SHA1 UPPER)

set(chrome_manifest keltoDataSigned.chrome.json)
set(firefox_manifest keltoDataSigned.firefox.json)
set(partial ${KELTO_MSI_OUTPUT}.partial)
file(REMOVE ${partial})
# wixl 0.101 finds sources only by paths relative to where it runs.
set(stage ${KELTO_MSI_OUTPUT}.files)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY ${KELTO_MSI_EXE} ${KELTO_MSI_ACTIONS} ${KELTO_MSI_README} ${KELTO_MSI_LICENSE}
     DESTINATION ${stage})
foreach(file EXE ACTIONS README LICENSE)
  get_filename_component(${file} ${KELTO_MSI_${file}} NAME)
endforeach()
execute_process(
  COMMAND wixl -a x64 -o ${partial}
          -D Version=${KELTO_MSI_VERSION}
          -D ProductCode=${product_code}
          -D UpgradeCode=${upgrade_code}
          -D HostName=${KELTO_HOST_NAME}
          -D ChromiumOrigin=${KELTO_CHROMIUM_ORIGIN}
          -D FirefoxId=${KELTO_FIREFOX_ID}
          -D ChromeManifest=${chrome_manifest}
          -D FirefoxManifest=${firefox_manifest}
          -D Exe=${EXE}
          -D ActionsDll=${ACTIONS}
          -D Readme=${README}
          -D License=${LICENSE}
          ${KELTO_MSI_WXS}
  WORKING_DIRECTORY ${stage}
  RESULT_VARIABLE status)
file(REMOVE_RECURSE ${stage})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed (${status})")
endif()

# What wixl 0.101 cannot write: RemoveFile rows for the manifests, which the
# custom action writes, so that Windows Installer deletes them on uninstall;
# and the type of a rollback action, as wixl ignores Execute="rollback"
# (1345: DLL in the Binary table, failure ignored, rollback, deferred).
set(rows
  "'RemoveChromeManifest', 'Host', '${chrome_manifest}', 'INSTALLDIR', 2"
  "'RemoveFirefoxManifest', 'Host', '${firefox_manifest}', 'INSTALLDIR', 2")
set(queries)
foreach(row ${rows})
  list(APPEND queries "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES (${row})")
endforeach()
list(APPEND queries "UPDATE `CustomAction` SET `Type` = 1345 WHERE `Action` = 'RemoveManifests'")
foreach(query ${queries})
  execute_process(COMMAND msibuild ${partial} -q "${query}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "msibuild failed (${status}): ${query}")
  endif()
endforeach()
file(RENAME ${partial} ${KELTO_MSI_OUTPUT})
