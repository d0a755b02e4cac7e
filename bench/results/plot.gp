
set terminal pngcairo size 1200,520 font 'sans,10'
set output 'time-vs-size.png'
set multiplot layout 1,2 title 'Start-up of a trivial application against application size (AMD x86-64 virtual machine, 2 logical CPUs, 24 GiB RAM, Debian GNU/Linux 12 (bookworm), Linux 6.18, ext4 disk)' font 'sans,9'
set logscale xy
set xrange [1.194:151.187]
set grid xtics ytics mxtics mytics lc rgb '#dddddd'
set key top left
set xlabel 'application size, MB (16 files + main binary)'
set ylabel 'whole-process wall time, ms (median, bars min-max)'
set title 'Wall time'
plot 'sweep.dat' using 1:2:3:4 with yerrorlines lw 2 lc rgb '#d62728' pt 7 title 'onefile', \
  'sweep.dat' using 1:8:9:10 with yerrorlines lw 2 lc rgb '#1f77b4' pt 5 title 'tar+rm', \
  'sweep.dat' using 1:14:15:16 with yerrorlines lw 2 lc rgb '#2ca02c' pt 9 title 'makeself', \
  'sweep.dat' using 1:20:21:22 with yerrorlines lw 2 lc rgb '#7f7f7f' pt 13 dt 2 title 'zstd -d'
unset logscale y
set logscale x
set yrange [0:*]
set ylabel 'peak RSS of the largest process, MiB'
set title 'Peak resident memory'
plot 'sweep.dat' using 1:5:6:7 with yerrorlines lw 2 lc rgb '#d62728' pt 7 title 'onefile', \
  'sweep.dat' using 1:11:12:13 with yerrorlines lw 2 lc rgb '#1f77b4' pt 5 title 'tar+rm', \
  'sweep.dat' using 1:17:18:19 with yerrorlines lw 2 lc rgb '#2ca02c' pt 9 title 'makeself', \
  'sweep.dat' using 1:23:24:25 with yerrorlines lw 2 lc rgb '#7f7f7f' pt 13 dt 2 title 'zstd -d'
unset multiplot
