# Draws a skyhelm-peer recording: ground track (left) and altitude profile (right), to PNG.
# Usage: gnuplot -e "in='flight.csv'; out='flight.png'" scripts/plot_flight.gp
if (!exists("in")) in = 'flight.csv'
if (!exists("out")) out = 'flight.png'

set terminal pngcairo size 1200,560 font "sans,10"
set output out
set datafile separator ','
set datafile columnheaders
set datafile missing 'nan'
set grid lc rgb '#dddddd'
set multiplot layout 1,2 title sprintf("Skyhelm flight recording: %s", in) font "sans,12"

# Ground track in nautical miles east and north of the first position (a degree of latitude is
# 60 NM; a degree of longitude shrinks with the cosine of the latitude).
stats in every ::0::0 using "latitude" name "lat_first" nooutput
stats in every ::0::0 using "longitude" name "lon_first" nooutput
stats in using "latitude" name "all" nooutput
lat0 = lat_first_min
lon0 = lon_first_min
east_nm(lon) = (lon - lon0) * 60 * cos(lat0 * pi / 180)
north_nm(lat) = (lat - lat0) * 60
set title "Ground track (start: green, end: red)"
set xlabel "east of the start (NM)"
set ylabel "north of the start (NM)"
set size ratio -1
set key off
plot in using (east_nm($20)):(north_nm($19)) with lines lw 2 lc rgb '#1f77b4', \
     '' every ::0::0 using (east_nm($20)):(north_nm($19)) with points pt 7 ps 1.5 lc rgb '#2ca02c', \
     '' every ::all_records-1::all_records-1 using (east_nm($20)):(north_nm($19)) \
        with points pt 7 ps 1.5 lc rgb '#d62728'

# Altitude profile against the selected altitude.
set title "Altitude"
set size noratio
set xlabel "time since the start of the recording (s)"
set ylabel "feet"
set key bottom right
plot in using "time_s":"altitude" with lines lw 2 lc rgb '#1f77b4' title "altitude", \
     '' using "time_s":"altitude_setting" with lines dt 2 lc rgb '#ff7f0e' title "selected altitude"
unset multiplot
