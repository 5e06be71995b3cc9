# shellcheck shell=bash
# Sourced by the browser and portal tests: a copy of the program that answers
# robot commands from canned files, so that a link followed on a desktop runs
# a whole update and posts its report without a robot.
#
#   install_simulated_program PROGRAM   copies $KELVO_BINARY to PROGRAM (a
#                                       name of the test's own, since a URL
#                                       launch ends older copies) and puts
#                                       ConfigSettings.ini and the response
#                                       files beside it
#   crlf LINE...                        prints each line ended by CR LF, as
#                                       scripts and response files are written

crlf() { printf '%s\r\n' "$@"; }

install_simulated_program() {
    local program=$1 app
    app=$(dirname "$program")
    cp "$KELVO_BINARY" "$program"
    crlf "[RobotSimulationSettings]" "SimulateRobotResponses=1" "SimulatedResponseFilesFolderName=ResponseFiles" \
         "[CurrentRobotDetails]" "Hardware=Zarn" "SoftwareVersion=3" "LDSSoftwareVersion=1" "ModelId=M1" "ConfigId=0" \
         "[ActionToSimulate]" "UpdateType=1" \
         "[LatestRobotImageDetails]" "UpgradeImageSize_Zarn=1048576" "UpgradeImageSize_Molvy=524288" \
         >"$app/ConfigSettings.ini"
    mkdir -p "$app/ResponseFiles/Zarn/3_1/M1"
    { crlf "getversion" "Component,Major,Minor,Build" "Software,3,1,2210" "LDS,1,0,88" "Model,M1,,"; printf '\032'; } \
        >"$app/ResponseFiles/Zarn/3_1/M1/getversion.txt"
}
